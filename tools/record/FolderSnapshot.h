// The files a folder held at one moment, to find which files a step added to it: the
// library names its stream files itself, so the recorder learns their names this way.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace sorvo::tools {

class FolderSnapshot {
 public:
  explicit FolderSnapshot(std::string folder);
  // Full paths of the regular files present now that were not there at construction, in
  // name order.
  std::vector<std::string> Added() const;

 private:
  std::string m_folder;
  std::set<std::string> m_names;
};

}  // namespace sorvo::tools
