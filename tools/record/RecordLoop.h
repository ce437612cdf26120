// The recorder's main loop while it records: stops at the end of --seconds, on q, on
// Ctrl-C or SIGTERM; switches the director's camera on keys 0-4 and every --switch-every
// seconds; keeps the progress line up to date. Runs on the main thread.
#pragma once

#include "tools/common/StopSignal.h"
#include "tools/record/ProgressLine.h"
#include "tools/record/RecordOptions.h"
#include "tools/record/RecordSession.h"

namespace sorvo::tools {

// Returns the seconds recorded. The progress line stays open for the final counts.
double RunRecordLoop(const RecordOptions& options, RecordSession& session, StopSignal& stop,
                     ProgressLine& progress);

}  // namespace sorvo::tools
