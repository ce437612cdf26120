// Writes an EditPlan as a CMX 3600 edit decision list: a title, the frame code mode, then
// one cut event per shot, each
//   NNN  REEL     V     C        SRC-IN      SRC-OUT     REC-IN      REC-OUT
// followed by comments an editor's import reads: the clip's file name (which file the reel
// is) and the marks within the shot as locators. Reels are CAM0 to CAM15 (a reel name has at
// most 8 characters); only pictures are cut: the program's sound is in the director's file.
//
// Threads: none of its own.
#pragma once

#include <string>

#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

// The reel name of camera `camera`.
std::string ReelName(int camera);
// The whole list as text, lines ending in CR LF as editors expect.
std::string EdlText(const EditPlan& plan, const std::string& title);
// Writes it to `path`; false with `error`.
bool WriteEdl(const EditPlan& plan,
              const std::string& title,
              const std::string& path,
              std::string* error);

}  // namespace sorvo::tools
