// sorvo-record's command line: what the user asked for, checked, with the defaults of a
// demonstration session.
#pragma once

#include <string>
#include <vector>

namespace sorvo::tools {

struct RecordOptions {
  // Cameras as typed (SOURCE[,name=NAME], CameraSpec.h); empty means the three default
  // test cameras.
  std::vector<std::string> cameras;
  std::string audio = "tone";
  double seconds = 10;  // 0: until stopped
  int fps = 25;
  int bitrate = 2000000;
  int directorWidth = 1280;
  int directorHeight = 720;
  bool zoomFit = true;     // false: stretch
  unsigned borderRgb = 0;  // 0xRRGGBB as typed
  double switchEvery = 2;  // seconds; 0: only by keys
  int portBase = 8050;     // the director at base, cameras at base + 1 and up, sound at base + 10
  // Where the cameras, the sound and the director are served: this machine only unless the
  // user opens them to a network.
  std::string serve = "127.0.0.1";
  bool preview = false;
  bool privateStream = false;
  bool saveStream = false;
  bool fragmentedMp4 = false;  // every MP4 in fragments, readable after a crash
  std::string out;             // empty: ./recordings/<local time>
  bool force = false;  // record into a folder that holds recordings, or short of space
  std::string json;            // empty: no JSON summary
  bool fullCheck = false;      // the end's read-back decodes every packet, not a spread
  bool holdOnLoss = false;     // --on-loss hold: a camera without signal keeps its last picture
  bool programSound = true;    // the sound in director.mp4 too
  // How the session's files are named: {session} is the session folder's name, {camera}
  // the camera's name ("director" for the director's cut, "sound" for the WAV file, whose
  // name ends in .wav instead of .mp4).
  std::string nameTemplate = "{camera}.mp4";
  // Destinations the director's program is published to live, as typed; checked.
  std::vector<std::string> publish;
  int publishBitrate = 2500000;            // the published H.264's constant rate
  std::string console = "127.0.0.1:8040";  // [ADDR:]PORT of the operator's console
  bool consoleAsked = false;  // --console given: the recorder stops if it cannot listen
  bool noConsole = false;
  std::string consoleToken;  // empty: one is made at start
  // Tally destinations as typed (TallyTarget); checked.
  std::vector<std::string> tally;
  // For tests and benchmarks of long sessions, test sources only: the session's clock runs
  // this many times faster than real time, and starts at this time of day (seconds since
  // midnight; -1: the real time of day).
  double simulateSpeed = 1;
  double simulateStart = -1;
  double markEvery = 0;  // seconds between marks made by the recorder itself; 0: none

  static constexpr int kMaxCameras = 16;
  // Cameras 0 to 4 can be shown in the director's cut; cameras 0 to 8 go into the
  // multi-stream file; every camera has its own MP4.
  static constexpr int kDirectorCameras = 5;
  static constexpr int kMultiStreamCameras = 9;
  // A year: longer sessions record until stopped (--seconds 0).
  static constexpr double kMaxSeconds = 365 * 24 * 3600;
  static constexpr int kSoundPortOffset = 10;
  // The director at base, cameras 0 to 8 at base + 1 to base + 9, the sound at base + 10,
  // cameras 9 and up from base + 11.
  int DirectorPort() const { return portBase; }
  int CameraPort(int number) const {
    return portBase + 1 + number + (number >= kSoundPortOffset - 1 ? 1 : 0);
  }
  int SoundPort() const { return portBase + kSoundPortOffset; }
  // Whether the session runs on simulated time (--simulate-speed, --simulate-start).
  bool Simulated() const { return simulateSpeed != 1 || simulateStart >= 0; }
  // Whether the streams can be reached from other machines.
  bool ServesNetwork() const;
  // The cameras as given, "SOURCE[,name=NAME]" (see CameraSpec), or the three defaults.
  std::vector<std::string> CameraSources() const;
  // The name of `camera`'s file in the session folder `session` (its name, not its path).
  std::string FileName(const std::string& session, const std::string& camera) const;
};

// Why `text` cannot name a session's files; empty when it can. It must end in ".mp4",
// hold {camera} (every file needs a name of its own), and name no folder.
std::string CheckNameTemplate(const std::string& text);

// Why the cameras' names cannot name their files and tracks (two alike, one taken by the
// director, the sound or another camera's number); empty when they can.
std::string CheckCameraNames(const std::vector<std::string>& cameras);

// Parses the command line. Returns -1 to go on, or the exit code to leave with, after
// --help (0) or after a message on standard error for a bad command line (2).
int ParseRecordOptions(int argc, char** argv, RecordOptions* options);

}  // namespace sorvo::tools
