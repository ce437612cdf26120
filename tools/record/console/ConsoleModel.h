// What the console needs from the recording it shows and controls: a snapshot of the
// session's counters and the three controls. The recorder implements it; the console's
// tests implement it with a fake.
//
// Threads: every operation is called on the console's network thread and must return at
// once; in particular it must never wait for a capture thread, an encoder or the disk.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

// One of the session's sinks, as the recorder counts it.
struct ConsoleSink {
  std::string name;    // "camera0", "director", "sound"
  int camera = -1;     // 0 to 4 for a camera, else -1
  std::string source;  // what feeds it
  int port = 0;        // its server's port; 0 when it serves nothing
  bool video = true;
  long long buffersIn = 0;  // pictures (or PCM buffers) the sink received
  long long packets = 0;    // encoded packets it handed out
  long long bytes = 0;      // their bytes
  long long dropped = 0;    // pictures lost on the way, however the recorder counts them
  int clients = 0;          // network clients of its server
  // A camera whose source the recorder has lost: its pictures stand in for the source's.
  bool noSignal = false;
};

struct ConsoleFile {
  std::string path;
  std::string kind;   // "camera MP4", "WAV", ...
  std::string owner;  // the sink that writes it
};

// A camera put on program, or a marker, at a time of the session's clock.
struct ConsoleSwitch {
  double time = 0;
  int camera = 0;
};
struct ConsoleMark {
  double time = 0;
  std::string label;
};

enum class ConsoleSessionState { kRecording, kStopping, kEnded };

struct ConsoleSnapshot {
  double seconds = 0;  // the session's clock
  ConsoleSessionState state = ConsoleSessionState::kRecording;
  std::string outDir;
  std::vector<ConsoleSink> sinks;
  std::vector<ConsoleFile> files;
  std::vector<std::string> notes;  // things the operator should know
  std::vector<ConsoleSwitch> switches;
  std::vector<ConsoleMark> marks;
  // How live publishing fares ("publish rtmp live, hls retrying, 2 GOPs dropped"); empty
  // when the session publishes nothing.
  std::string publishing;
};

class ConsoleModel {
 public:
  virtual ~ConsoleModel() = default;

  virtual ConsoleSnapshot Snapshot() = 0;
  // Puts `camera` (0 to 4) on program from its next picture on. Empty when taken, else
  // why not ("there is no camera 3"). The recorder announces the switch itself
  // (Console::ProgramChanged) once it is made.
  virtual std::string SelectProgram(int camera) = 0;
  // Records a marker now, its time on the session's clock in `time`. Empty when recorded,
  // else why not. The recorder announces it (Console::Marked).
  virtual std::string AddMark(const std::string& label, double* time) = 0;
  // Ends the session as the q key does; false when it is already ending or has ended.
  virtual bool RequestStop() = 0;
};

}  // namespace sorvo::tools
