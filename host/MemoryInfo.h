// How much memory the system could still give this process without swapping.
#pragma once

#include <cstdint>

namespace sorvo {

// The kernel's estimate of memory available for new allocations (MemAvailable), in bytes;
// the free physical pages where the kernel gives no estimate; -1 when neither is known.
int64_t AvailableMemoryBytes();

}  // namespace sorvo
