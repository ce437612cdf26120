// What the console needs from the recording it shows and controls: a snapshot of the
// session's counters and the three controls. The recorder implements it; the console's
// tests implement it with a fake.
//
// Threads: every operation is called on the console's network thread and must return at
// once; in particular it must never wait for a capture thread, an encoder or the disk.
#pragma once

#include <string>

#include "tools/record/SessionReport.h"

namespace sorvo::tools {

enum class ConsoleSessionState { kRecording, kStopping, kEnded };

// The session as the console shows it: the recorder's report (a camera's sink carries its
// number) and where the session stands. Its cut (switches and marks) may be left empty: the
// console follows the cut with TakeCut.
struct ConsoleSnapshot : SessionReport {
  ConsoleSessionState state = ConsoleSessionState::kRecording;
  // Cameras 0 to directorCameras - 1 can go on program.
  int directorCameras = 0;
  // The session's length as asked for (--seconds); 0 records until stopped.
  double plannedSeconds = 0;
};

class ConsoleModel {
 public:
  virtual ~ConsoleModel() = default;

  virtual ConsoleSnapshot Snapshot() = 0;
  // What changed in the cut since the last call (the whole cut at the first).
  virtual CutChange TakeCut() = 0;
  // Puts `camera` on program from its next picture on. Empty when taken, else why not
  // ("there is no camera 3"). The recorder announces the switch itself
  // (Console::ProgramChanged) once it is made.
  virtual std::string SelectProgram(int camera) = 0;
  // Puts `camera` on the preview bus, to go on program at the next Take; announced
  // (Console::PreviewChanged) once made. Empty when taken, else why not.
  virtual std::string SelectPreview(int camera) = 0;
  // The preview goes on program and the program on preview, as one cut. Empty when taken,
  // else why not (no camera on preview).
  virtual std::string Take() = 0;
  // Records a marker now, its time on the session's clock in `time`. Empty when recorded,
  // else why not. The recorder announces it (Console::Marked).
  virtual std::string AddMark(const std::string& label, double* time) = 0;
  // Ends the session as the q key does; false when it is already ending or has ended.
  virtual bool RequestStop() = 0;
};

}  // namespace sorvo::tools
