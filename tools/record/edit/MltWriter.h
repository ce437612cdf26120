// Writes an EditPlan as an MLT XML project, the document that melt renders and that the
// editors built on MLT open: a profile of the director's size and rate, then a multitrack
// whose time 0 is the program's first picture:
//   - a black background (the editors' own first track, and the silence the sound mixes on);
//   - one video track per camera file, each laid on the session's time (a file that starts
//     later begins after a blank), so that the whole multicam material is there to re-cut;
//   - the program on top, the cut as clips of the camera files;
//   - the session's sound file on an audio track, where its first sample falls.
// With no blending between the video tracks the top one that shows something is what
// plays, so the project renders the program as the director cut it. Files in the project's
// folder are named relative to it (the project moves with its folder); others absolutely.
//
// Threads: none of its own.
#pragma once

#include <string>

#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

struct MltProject {
  std::string title;
  int width = 0;  // the director's pictures
  int height = 0;
  // The session's sound file; its camera number means nothing. Unstarted: no sound track.
  EditFile sound;
};

// Writes the project to `path`; false with `error`.
bool WriteMlt(const EditPlan& plan,
              const MltProject& project,
              const std::string& path,
              std::string* error);

}  // namespace sorvo::tools
