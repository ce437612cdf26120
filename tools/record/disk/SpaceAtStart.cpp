#include "tools/record/disk/SpaceAtStart.h"

#include "tools/common/TextTable.h"

namespace sorvo::tools {

SpaceAtStart CheckSpaceAtStart(const std::vector<DiskNeed>& needs, double seconds) {
  SpaceAtStart check;
  for (const DiskNeed& need : needs) {
    const double rate = need.BytesPerSecond();
    const double left = need.SecondsLeft();
    const std::string free = FormatBytes(need.space.freeBytes) + " free in " + need.folder;
    check.lines.push_back(left < 0 ? free + ", which this session does not fill"
                                   : free + " lasts about " + FormatDuration(left) +
                                         " at this session's " +
                                         FormatBytes(static_cast<long long>(rate)) + "/s (" +
                                         need.OutputsText() + ")");
    if (seconds <= 0 || left < 0 || left >= seconds || !check.shortfall.empty())
      continue;
    const double needed = rate * seconds + need.FixedBytes();
    check.shortfall = "not enough free space for a session of " + FormatDuration(seconds) +
                      ": it needs about " + FormatBytes(static_cast<long long>(needed)) + " in " +
                      need.folder + " (" + need.OutputsText() + "), but that file system has " +
                      FormatBytes(need.space.freeBytes) + " free, which lasts about " +
                      FormatDuration(left) +
                      "; free some space, record fewer --seconds, or add --force to record "
                      "anyway (when the disk is nearly full the multi-stream file and the "
                      "stream files are given up first)";
  }
  return check;
}

}  // namespace sorvo::tools
