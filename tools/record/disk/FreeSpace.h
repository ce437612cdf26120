// The free space of the file system a folder is on, as an unprivileged writer may use it,
// and which file system that is: folders on one file system share their free space.
#pragma once

#include <string>

namespace sorvo::tools {

struct FreeSpace {
  unsigned long long device = 0;  // the file system's device number
  long long freeBytes = 0;        // available to an unprivileged writer
};

// The space of `folder`'s file system; a folder that does not exist yet is taken at its
// nearest existing parent, where it will be made. False when no such folder can be read.
bool ReadFreeSpace(const std::string& folder, FreeSpace* space);

}  // namespace sorvo::tools
