// Writes an EditPlan as an OpenTimelineIO document (JSON): a timeline starting at the
// program's first timecode, with one video track of clips, one per event, each
// referencing its camera's file by path (a file URL) with the file's whole range in its own
// timecode and the clip's range within it, gaps where the program shows no shot, and the
// marks as markers on the track; and, when the session has a sound file, an audio track
// holding it from where its first sample falls to the program's end.
//
// Threads: none of its own.
#pragma once

#include <string>

#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

// The document as text.
std::string OtioText(const EditPlan& plan, const std::string& title);
// Writes it to `path`; false with `error`.
bool WriteOtio(const EditPlan& plan,
               const std::string& title,
               const std::string& path,
               std::string* error);
// "file://" and the absolute path, every byte outside the unreserved ones and '/'
// percent-encoded.
std::string FileUrl(const std::string& path);

}  // namespace sorvo::tools
