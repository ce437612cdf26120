// libFuzzer's entry point; SORVO_FUZZ_BODY names the target's body (fuzz/CMakeLists.txt).
#include "fuzz/FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sorvo::fuzz::SORVO_FUZZ_BODY(data, size);
  return 0;
}
