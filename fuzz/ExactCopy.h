// Helpers that let AddressSanitizer see a buffer's bounds: the bytes handed to the code
// under test, and the buffers it hands back.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace sorvo::fuzz {

// A heap copy of exactly `size` bytes, with no slack or padding behind it.
inline std::unique_ptr<uint8_t[]> ExactCopy(const uint8_t* data, size_t size) {
  std::unique_ptr<uint8_t[]> copy(new uint8_t[size]);
  std::copy(data, data + size, copy.get());
  return copy;
}

// Reads the first and the last of `size` (> 0) bytes, which a buffer too short for its
// stated size cannot give.
inline void ReadBothEnds(const uint8_t* data, size_t size) {
  volatile uint8_t first = data[0];
  volatile uint8_t last = data[size - 1];
  (void)first;
  (void)last;
}

}  // namespace sorvo::fuzz
