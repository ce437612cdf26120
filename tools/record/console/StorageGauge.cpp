#include "tools/record/console/StorageGauge.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>

namespace sorvo::tools {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

void StorageGauge::Update(const std::vector<OutputFile>& files, double seconds) {
  m_files.clear();
  m_disks.clear();
  std::map<unsigned long, size_t> diskOf;  // file system id to index in m_disks
  std::map<unsigned long, long long> written;
  for (const OutputFile& file : files) {
    struct stat info {};
    const long long bytes = stat(file.path.c_str(), &info) == 0 ? info.st_size : -1;
    m_files.push_back({file, bytes});
    const std::string folder = FolderOf(file.path);
    struct statvfs space {};
    if (statvfs(folder.c_str(), &space) != 0)
      continue;
    const unsigned long id = space.f_fsid;
    if (diskOf.emplace(id, m_disks.size()).second) {
      DiskSpace disk;
      disk.folder = folder;
      disk.freeBytes =
          static_cast<long long>(space.f_bavail) * static_cast<long long>(space.f_frsize);
      m_disks.push_back(disk);
    }
    if (bytes > 0)
      written[id] += bytes;
  }
  for (const auto& [id, index] : diskOf) {
    std::deque<Sample>& history = m_history[id];
    history.push_back({seconds, written[id]});
    while (history.size() > 2 && seconds - history[1].seconds >= kRateWindow)
      history.pop_front();
    DiskSpace& disk = m_disks[index];
    const double span = seconds - history.front().seconds;
    if (span <= 0)
      continue;
    disk.bytesPerSecond =
        std::max(0.0, static_cast<double>(history.back().bytes - history.front().bytes) / span);
    if (disk.bytesPerSecond > 0) {
      disk.secondsLeft = static_cast<double>(disk.freeBytes) / disk.bytesPerSecond;
      disk.low = disk.secondsLeft < kLowSeconds;
    }
  }
}

}  // namespace sorvo::tools
