#include "tools/record/disk/FreeSpace.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <filesystem>

namespace sorvo::tools {

bool ReadFreeSpace(const std::string& folder, FreeSpace* space) {
  std::filesystem::path at = std::filesystem::absolute(folder).lexically_normal();
  for (;;) {
    struct stat info {};
    struct statvfs vfs {};
    if (stat(at.c_str(), &info) == 0) {
      if (statvfs(at.c_str(), &vfs) != 0)
        return false;
      space->device = static_cast<unsigned long long>(info.st_dev);
      space->freeBytes =
          static_cast<long long>(vfs.f_bavail) * static_cast<long long>(vfs.f_frsize);
      return true;
    }
    if (!at.has_relative_path())
      return false;
    at = at.parent_path();
  }
}

}  // namespace sorvo::tools
