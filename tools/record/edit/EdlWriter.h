// Writes an EditPlan as CMX 3600 edit decision lists: a title, the frame code mode, then
// one cut event per shot, each
//   NNN  REEL     V     C        SRC-IN      SRC-OUT     REC-IN      REC-OUT
// followed by comments an editor's import reads: the clip's file name (which file the reel
// is) and the marks within the shot as locators. Reels are CAM0 to CAM15 (a reel name has at
// most 8 characters). The session's sound file, when there is one, follows the shots of each
// list as one audio event (reel SOUND, channels A for mono, AA for two or more) under the
// list's record span, its source times the sound file's own timecode.
//
// What one list cannot hold goes on in the next (director.edl, director-2.edl, ...): the
// event number has three digits, so a list holds at most 999 events (the sound's among them),
// and its timecodes are
// times of day, so its record times stay within one day. An event is cut in two at every
// midnight of its record or source side (its times would otherwise wrap, the out before
// the in); an out point exactly at midnight, the end of that day, is written 24:00:00:00.
//
// Threads: none of its own.
#pragma once

#include <string>
#include <vector>

#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

// The reel name of camera `camera`.
std::string ReelName(int camera);
// The reel name of the session's sound file.
constexpr char kSoundReel[] = "SOUND";
// The events as the lists hold them, numbered from 1 in each list.
std::vector<std::vector<EditEvent>> EdlLists(const EditPlan& plan);
// The lists as text, lines ending in CR LF as editors expect.
std::vector<std::string> EdlTexts(const EditPlan& plan, const std::string& title);
// Where list `index` (from 0) of the lists for `path` goes: `path` itself, then "-2" and on
// before its extension.
std::string EdlPath(const std::string& path, size_t index);
// Writes them to `path` and the paths after it, each written one into `written`; false
// with `error` at the first that cannot be.
bool WriteEdl(const EditPlan& plan,
              const std::string& title,
              const std::string& path,
              std::vector<std::string>* written,
              std::string* error);

}  // namespace sorvo::tools
