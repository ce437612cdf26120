#include <cstdio>
#include <cstdlib>

#include "fuzz/FuzzTargets.h"

namespace sorvo::fuzz {

void Require(bool holds, const char* what) {
  if (holds)
    return;
  std::fprintf(stderr, "fuzz: contract broken: %s\n", what);
  std::abort();
}

}  // namespace sorvo::fuzz
