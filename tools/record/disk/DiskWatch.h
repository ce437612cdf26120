// While a session records: how fast the free space of each file system it writes to
// actually falls (statvfs sampled, the slope over a sliding window, so that other writers
// on the disk count too), how long it lasts at that rate, the warnings at 30 and 10
// minutes left, and when a file system is nearly full.
//
// Warnings count only a measured fall. A warning is given once as the time left falls below its
// mark, and again only after the time left rose back above one and a half times the mark (space
// freed, a writer gone): a rate that wavers around a mark says it once.
//
// Nearly full: the space left, less what the session's MP4s need to be finished (their
// index), lasts under two minutes at the measured rate, or is under a floor of 8 MiB. The
// session then gives up an output that copies others; a further step waits until the rate
// has been measured again since the last one, unless the floor is reached.
//
// Threads: the control thread only.
#pragma once

#include <deque>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tools/record/disk/DiskReading.h"
#include "tools/record/disk/SessionByteRate.h"

namespace sorvo::tools {

class DiskWatch {
 public:
  static constexpr double kWarnSeconds[] = {1800, 600};
  static constexpr double kRearmFactor = 1.5;
  static constexpr double kWindowSeconds = 10;  // the slope is taken over this much
  static constexpr double kMeasureSeconds = 2;  // before this much, the estimate counts
  static constexpr double kNearlyFullSeconds = 120;
  static constexpr long long kFloorBytes = 8LL << 20;

  using Reader = std::function<bool(const std::string& folder, FreeSpace* space)>;

  // Watches the file systems of `needs`, whose rates stand until the fall is measured.
  explicit DiskWatch(const std::vector<DiskNeed>& needs, Reader reader = ReadFreeSpace);

  // Reads every file system at session time `seconds`; returns the warnings due now.
  std::vector<std::string> Sample(double seconds);
  const std::vector<DiskReading>& readings() const { return m_readings; }
  // The index in readings() of the file system `folder` is on; -1 for none of them.
  int DiskOf(const std::string& folder) const;
  // Whether disk `index` is nearly full and, since the last step taken for it, the rate has
  // been measured again (or the floor is reached).
  bool NeedsStep(int index) const;
  // A step was taken for disk `index`: its rate is measured afresh, the last one standing
  // until then.
  void Stepped(int index);

 private:
  struct Point {
    double seconds = 0;
    long long freeBytes = 0;
  };
  struct Disk {
    unsigned long long device = 0;
    double estimate = 0;  // bytes a second the session was expected to write
    double closingBytesPerSecond = 0;
    std::deque<Point> samples;  // over the last kWindowSeconds
    bool warned[std::size(kWarnSeconds)] = {};
    bool belowFloor = false;
  };
  void Measure(Disk* disk, DiskReading* reading, double seconds) const;

  Reader m_reader;
  std::vector<Disk> m_disks;
  std::vector<DiskReading> m_readings;
};

}  // namespace sorvo::tools
