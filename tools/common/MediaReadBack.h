// Reads a written media file back the way a player would: libavformat for its streams and
// packets, libavcodec for its pictures and audio frames. What the summaries print as proof
// that a recording is good.
//
// Two depths. The full read decodes every packet: its time grows with the file (an hour of
// 1080p is minutes of decoding). The bounded read takes a time that does not grow with the
// file: an MP4's index is checked against the file (every sample inside it) and gives the
// packets and bytes the file holds; the first GOP, the last and a spread between are decoded,
// and the sound at the same places; a WAV's header is checked against the file's size. A file
// without an index (a bare stream, a fragmented MP4) is read through for its packets without
// decoding them, and a spread of its GOPs decoded.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

enum class ReadDepth { kFull, kBounded };

struct StreamReadBack {
  std::string kind;   // "video", "audio" or "other"
  std::string codec;  // FFmpeg's codec name
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  long long packets = 0;  // what the file holds (bounded: as its index says)
  long long bytes = 0;    // of those packets
  // Pictures or audio frames the file holds: the full read counts those the decoder gave
  // back; the bounded read the packets a player would show.
  long long frames = 0;
  long long decoded = 0;        // frames the decoder gave back
  long long decodeErrors = 0;   // packets the decoder refused, and damagedFrames
  long long damagedFrames = 0;  // of `decoded`, those the decoder had to patch over
  double seconds = 0;           // from the first packet's start to the last one's end
  // The first packet's start and the last one's end on the file's timeline (a stream whose
  // first packets are cut by an edit list starts before 0).
  double startSeconds = 0;
  double endSeconds = 0;
  // How long it is presented: from the file's start, or its own first packet when later,
  // to its last packet's end.
  double PresentedSeconds() const;
};

struct FileReadBack {
  std::string path;
  ReadDepth depth = ReadDepth::kFull;
  bool opened = false;
  std::string error;   // why it could not be opened or read to its end
  std::string format;  // FFmpeg's short format name
  long long bytes = 0;
  double seconds = 0;  // the longest stream
  std::vector<StreamReadBack> streams;

  // Why the file is not good: not opened or read to its end, no stream, or a stream of
  // pictures or sound without frames or with one that did not decode cleanly. Empty when
  // good.
  std::string Problem() const;
  bool Good() const { return Problem().empty(); }
  int CountOf(const std::string& kind) const;
};

// Where on a file's timeline of `seconds` the bounded read decodes a GOP besides its first
// and its last: evenly spread, so that a long file is sampled as densely as its length
// allows within a fixed number of GOPs.
std::vector<double> SpreadTimes(double start, double seconds);

// `format` forces an input format by its short name (e.g. "m4v" for a bare stream).
FileReadBack ReadBack(const std::string& path,
                      const char* format = nullptr,
                      ReadDepth depth = ReadDepth::kFull);

}  // namespace sorvo::tools
