#include "host/BackupFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdio.h>

#include <cerrno>

#include "host/PathUtil.h"

namespace sorvo {

std::string BackupName(const std::string& path, int n) {
  const char* ext = PathFindExtensionA(path.c_str());
  size_t stemLength = static_cast<size_t>(ext - path.c_str());
  return path.substr(0, stemLength) + "_bak" + std::to_string(n) + ext;
}

}  // namespace sorvo

int BackupFile(const char* path, int /*flag*/) {
  // Only a recording is moved aside: a directory or device standing at the path stays.
  struct stat st;
  if (path == nullptr || ::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  for (int n = 1; n < 100000; ++n) {
    std::string target = sorvo::BackupName(path, n);
    // RENAME_NOREPLACE makes the "does not exist yet" check and the move one step, so a
    // backup made at the same moment by another process is never overwritten.
    if (::renameat2(AT_FDCWD, path, AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 1;
    if (errno != EEXIST) return 0;
  }
  return 0;
}
