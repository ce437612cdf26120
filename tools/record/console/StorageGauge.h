// The files being written, with their sizes. The free space of the file systems they go
// to, and how fast it falls, is the recorder's to measure (disk/DiskWatch): the console
// shows its readings from the session's report.
//
// One thread (the console's network thread); it only stats files.
#pragma once

#include <string>
#include <vector>

#include "tools/record/SinkStatus.h"

namespace sorvo::tools {

struct FileSize {
  OutputFile file;
  long long bytes = 0;  // -1 when the file cannot be stat'ed
};

class StorageGauge {
 public:
  void Update(const std::vector<OutputFile>& files);
  const std::vector<FileSize>& files() const { return m_files; }

 private:
  std::vector<FileSize> m_files;
};

}  // namespace sorvo::tools
