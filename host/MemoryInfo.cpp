#include "host/MemoryInfo.h"

#include <unistd.h>

#include <cstdio>

namespace sorvo {

int64_t AvailableMemoryBytes() {
  if (std::FILE* info = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    long long kib = -1;
    while (std::fgets(line, sizeof(line), info) != nullptr)
      if (std::sscanf(line, "MemAvailable: %lld kB", &kib) == 1)
        break;
    std::fclose(info);
    if (kib >= 0)
      return static_cast<int64_t>(kib) * 1024;
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages < 0 || pageSize <= 0)
    return -1;
  return static_cast<int64_t>(pages) * pageSize;
}

}  // namespace sorvo
