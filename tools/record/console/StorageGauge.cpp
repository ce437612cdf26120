#include "tools/record/console/StorageGauge.h"

#include <sys/stat.h>

namespace sorvo::tools {

void StorageGauge::Update(const std::vector<OutputFile>& files) {
  m_files.clear();
  for (const OutputFile& file : files) {
    struct stat info {};
    m_files.push_back({file, stat(file.path.c_str(), &info) == 0 ? info.st_size : -1});
  }
}

}  // namespace sorvo::tools
