// The frame-copy library: the bytes are copied when the call returns.
#pragma once

#include <cstddef>
#include <cstring>

inline void CopyFrame(void* destination, const void* source, size_t count) {
  if (count > 0) std::memcpy(destination, source, count);
}
