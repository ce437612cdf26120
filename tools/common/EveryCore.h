// Runs a number of independent tasks on a few threads of their own, at most one a core, and
// returns when every one is done: for work such as reading a session's files back, where
// each task is a file and none touches another's results.
#pragma once

#include <cstddef>
#include <functional>

namespace sorvo::tools {

// Calls `task(i)` once for each i below `count`, on up to `threads` threads (0: as many as
// the machine has cores), from the calling thread when one suffices. `task` must be safe to
// run for different i at once.
void ForEachOnCores(size_t count, const std::function<void(size_t)>& task, unsigned threads = 0);

}  // namespace sorvo::tools
