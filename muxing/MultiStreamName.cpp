#include "muxing/MultiStreamName.h"

#include <vector>

#include "host/PathUtil.h"

namespace sorvo {

const char kMultiStreamFileName[] = "导播多流.mp4";

std::string MultiStreamFileName(const std::string& directorPath) {
  if (directorPath.empty())
    return std::string();
  std::vector<char> folder(directorPath.begin(), directorPath.end());
  folder.push_back('\0');
  PathRemoveFileSpecA(folder.data());
  std::string name = folder.data();
  // Appending the separator to an empty folder would put the file at the root.
  if (!name.empty() && name.back() != '/')
    name += '/';
  return name + kMultiStreamFileName;
}

}  // namespace sorvo
