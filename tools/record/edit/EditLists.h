// The edit lists of a session, beside the director's file and named after it: the CMX 3600
// lists (director.edl and what follows it) and the OpenTimelineIO document
// (director.otio). Written by the recorder as it ends and by sorvo-recover from the cut's
// journal; the journal itself is director.cut.
//
// Threads: none of its own.
#pragma once

#include <string>
#include <vector>

#include "tools/record/edit/EditPlan.h"

namespace sorvo::tools {

// `path` with its extension replaced by `extension` (".edl").
std::string WithExtension(const std::string& path, const char* extension);
// Where the journal of the cut of the director's file `programPath` is.
std::string JournalPath(const std::string& programPath);

// Writes `plan` as the lists; each file written goes into `written`, and what could not be
// written into `problems`.
void WriteEditLists(const EditPlan& plan,
                    const std::string& title,
                    std::vector<std::string>* written,
                    std::vector<std::string>* problems);

}  // namespace sorvo::tools
