// sorvo-record's command line: what the user asked for, checked, with the defaults of a
// demonstration session.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

struct RecordOptions {
  // Camera sources as typed; empty means the three default test cameras.
  std::vector<std::string> cameras;
  std::string audio = "tone";
  double seconds = 10;  // 0: until stopped
  int fps = 25;
  int bitrate = 2000000;
  int directorWidth = 1280;
  int directorHeight = 720;
  bool zoomFit = true;          // false: stretch
  unsigned borderRgb = 0;       // 0xRRGGBB as typed
  double switchEvery = 2;       // seconds; 0: only by keys
  int portBase = 8050;          // cameras at base + 1 and up, sound at base + 10
  bool preview = false;
  bool privateStream = false;
  bool saveStream = false;
  bool fragmentedMp4 = false;   // every MP4 in fragments, readable after a crash
  std::string out;              // empty: ./recordings/<local time>
  bool force = false;           // record into a folder that holds recordings
  std::string json;             // empty: no JSON summary
  // Destinations the director's program is published to live, as typed; checked.
  std::vector<std::string> publish;
  int publishBitrate = 2500000;  // the published H.264's constant rate
  std::string console = "127.0.0.1:8040";  // [ADDR:]PORT of the operator's console
  bool consoleAsked = false;    // --console given: the recorder stops if it cannot listen
  bool noConsole = false;
  std::string consoleToken;     // empty: one is made at start

  static constexpr int kMaxCameras = 5;
  // A year: longer sessions record until stopped (--seconds 0).
  static constexpr double kMaxSeconds = 365 * 24 * 3600;
  static constexpr int kDirectorPort = 8050;
  static constexpr int kSoundPortOffset = 10;
  int CameraPort(int number) const { return portBase + 1 + number; }
  int SoundPort() const { return portBase + kSoundPortOffset; }
  // The camera sources to open: the given ones, or the three defaults.
  std::vector<std::string> CameraSources() const;
};

// Parses the command line. Returns -1 to go on, or the exit code to leave with, after
// --help (0) or after a message on standard error for a bad command line (2).
int ParseRecordOptions(int argc, char** argv, RecordOptions* options);

}  // namespace sorvo::tools
