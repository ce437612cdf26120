// Before a session starts: how long the free space of each file system it writes to lasts
// at its outputs' rates, and whether that is shorter than the session asked for.
#pragma once

#include <string>
#include <vector>

#include "tools/record/disk/SessionByteRate.h"

namespace sorvo::tools {

struct SpaceAtStart {
  std::vector<std::string> lines;  // per file system, how long its free space lasts
  // Why the free space does not last `seconds`, naming the need, the free space and the
  // folder; empty when it lasts (or the session records until stopped).
  std::string shortfall;
};

SpaceAtStart CheckSpaceAtStart(const std::vector<DiskNeed>& needs, double seconds);

}  // namespace sorvo::tools
