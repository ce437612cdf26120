// The error code of the CMMIOException a step throws, for tests of the WAV writer and the
// audio sink.
#pragma once

#include <cstdint>
#include <functional>

#include "audio/CMMIOException.h"

namespace sorvo::test {

// 0 when `step` throws none.
inline uint32_t CodeOf(const std::function<void()>& step) {
  try {
    step();
  } catch (const CMMIOException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

}  // namespace sorvo::test
