// The recorder's main loop while it records: stops at the end of --seconds, on q, on
// Ctrl-C or SIGTERM; switches the director's camera on keys 0-4 and every --switch-every
// seconds; records a mark on m; does what the console asks (switch, preview, take, mark,
// stop) and keeps it, the tally and the progress line up to date. It keeps the preview
// bus: a take puts the preview on program and the program on preview, as one cut. Runs on
// the main thread.
#pragma once

#include "tools/common/StopSignal.h"
#include "tools/record/ProgressLine.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/RecordSession.h"
#include "tools/record/console/SessionConsole.h"
#include "tools/record/tally/TallyOut.h"

namespace sorvo::tools {

// Marks go into the session's cut. `console` and `tally` may be null. The progress line
// stays open for the final counts. Every time is on the session's clock.
void RunRecordLoop(const RecordOptions& options,
                   RecordSession& session,
                   StopSignal& stop,
                   ProgressLine& progress,
                   SessionConsole* console,
                   TallyOut* tally);

}  // namespace sorvo::tools
