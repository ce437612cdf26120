// The benchmarks' view of memory: the resident set of this process, as `top` shows it.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace sorvo::bench {

// VmRSS of /proc/self/status in kilobytes; 0 when unknown.
inline long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return 0;
}

}  // namespace sorvo::bench
