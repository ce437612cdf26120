// The files being written, with their sizes, and the free space of each file system they
// go to: how fast the session fills it (over the last few seconds) and how long the space
// lasts at that rate, with a warning below ten minutes.
//
// One thread (the console's network thread); it only stats files and file systems.
#pragma once

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "tools/record/SinkStatus.h"

namespace sorvo::tools {

struct FileSize {
  OutputFile file;
  long long bytes = 0;  // -1 when the file cannot be stat'ed
};

struct DiskSpace {
  std::string folder;  // the first folder written on this file system
  long long freeBytes = 0;
  double bytesPerSecond = 0;
  double secondsLeft = -1;  // -1: nothing is growing, so no end in sight
  bool low = false;         // less than kLowSeconds left
};

class StorageGauge {
 public:
  static constexpr double kLowSeconds = 600;
  // The rate is measured over (about) this many seconds of the session.
  static constexpr double kRateWindow = 5;

  // `seconds` is the session's clock at the moment of the call.
  void Update(const std::vector<OutputFile>& files, double seconds);
  const std::vector<FileSize>& files() const { return m_files; }
  const std::vector<DiskSpace>& disks() const { return m_disks; }

 private:
  struct Sample {
    double seconds = 0;
    long long bytes = 0;
  };
  std::vector<FileSize> m_files;
  std::vector<DiskSpace> m_disks;
  std::map<unsigned long, std::deque<Sample>> m_history;  // by file system id
};

}  // namespace sorvo::tools
