// The console's addresses: which page file or API endpoint a request names, and the checks
// of the JSON bodies that the control endpoints take. Pure functions; any thread.
#pragma once

#include <array>
#include <string>
#include <string_view>

namespace sorvo::tools {

// Tiles whose pictures the console shows: cameras 0 to 15 (as many as the recorder
// records), then the program (the director's picture).
constexpr int kConsoleCameras = 16;
constexpr int kProgramSlot = kConsoleCameras;
constexpr int kPictureSlots = kConsoleCameras + 1;

enum class Endpoint {
  kPage,       // GET: one of the page's files
  kStatus,     // GET /api/status
  kProgram,    // POST /api/program {"camera": N}
  kPreview,    // POST /api/preview {"camera": N}
  kTake,       // POST /api/take: the preview goes on program
  kMark,       // POST /api/mark {"label": "..."}
  kStop,       // POST /api/stop
  kThumbnail,  // GET /api/cameras/N/thumbnail.jpg
  kLive,       // GET /api/cameras/N/live.mjpeg
  kEvents,     // GET /api/events, a WebSocket
  kSound,      // GET /api/sound.mp3: the program's sound as it is encoded
};

struct Route {
  int status = 0;  // 0: found; else the 4xx to answer with (`reason` says why)
  std::string reason;
  std::string allow;  // with 405: the method the endpoint takes
  Endpoint endpoint = Endpoint::kPage;
  std::string path;  // without the query
  int slot = -1;     // kThumbnail, kLive: a camera, or kProgramSlot for "program"
  bool found() const { return status == 0; }
};

// `method` is the request's method name, `target` its request target.
Route FindRoute(std::string_view method, std::string_view target);

// Whether the query of `target` has `name`=1 (or true, or yes).
bool QueryFlag(std::string_view target, std::string_view name);

// Which part of each long list /api/status gives: a list with a `from` gives up to its
// `count` entries from that index on, any other its latest `count`. The lists are those of
// kPagedLists, asked for as ?switchesFrom=N, ?marksFrom=N, ?notesFrom=N, with ?count=M.
constexpr const char* kPagedLists[] = {"switches", "marks", "notes"};
constexpr int kPagedListCount = 3;
struct ListPages {
  static constexpr size_t kDefaultCount = 50;
  static constexpr size_t kMaxCount = 1000;
  static constexpr size_t kLatest = static_cast<size_t>(-1);
  std::array<size_t, kPagedListCount> count{kDefaultCount, kDefaultCount, kDefaultCount};
  std::array<size_t, kPagedListCount> from{kLatest, kLatest, kLatest};
  std::string error;  // a bad parameter; empty when all are good
};
ListPages ParseListPages(std::string_view target);

// The checked contents of a control request's body; `error` is empty when it is good.
struct CameraRequest {
  int camera = -1;
  std::string error;
};
struct MarkRequest {
  std::string label;
  std::string error;
};
constexpr size_t kMaxMarkLabel = 200;

// {"camera": N} with N a whole number from 0 to 15 (whether the session has that camera,
// and whether the director can show it, is the model's to say).
CameraRequest ParseCameraRequest(const std::string& body);
// {"label": "..."} (at most kMaxMarkLabel bytes), {} or an empty body for no label.
MarkRequest ParseMarkRequest(const std::string& body);
// An empty body or a JSON object; the error otherwise.
std::string CheckEmptyRequest(const std::string& body);

}  // namespace sorvo::tools
