// sorvo-recover on the folder of a killed sorvo-record session: the cut's journal
// (director.cut) is read back, the director's and the cameras' MP4s it names are rebuilt
// from their complete fragments into the folder's "recovered" folder (the director's with
// its shots as chapters), and director.edl (with the lists after it) and director.otio are
// written there from the journal, laid against the rebuilt files. What is in the folder is
// only read.
//
// Threads: the caller's.
#pragma once

#include <string>

namespace sorvo::tools {

// Rescues the session in `folder`, saying what it does on standard output and what went
// wrong on standard error. 0 when every file the journal names was rebuilt and the edit
// lists written, 1 when nothing could be.
int RescueSession(const std::string& folder);

}  // namespace sorvo::tools
