// GetTickCount and Sleep over std::chrono::steady_clock. Ticks are 32-bit milliseconds
// that wrap, as the host's counter does; tests may install their own tick source.
#pragma once

#include <cstdint>

uint32_t GetTickCount();
void Sleep(uint32_t milliseconds);

namespace sorvo {
// Replaces the tick source until called again with nullptr. Used by tests only.
using TickSource = uint32_t (*)();
void SetTickSourceForTesting(TickSource source);
}  // namespace sorvo
