// Where the controller writes its multi-stream file: beside the director's own file.
#pragma once

#include <string>

namespace sorvo {

// The name is built in a buffer of this many bytes, its terminating NUL included.
constexpr size_t kMultiStreamNameBytes = 512;
// The file's own name.
extern const char kMultiStreamFileName[];

// The folder of `directorPath`, then "/导播多流.mp4"; a director path without a folder
// gives the bare file name, which lands beside the director's file in the working folder.
// Empty for an empty path. The caller refuses a name that does not fit in
// kMultiStreamNameBytes (FitsMultiStreamName).
std::string MultiStreamFileName(const std::string& directorPath);
inline bool FitsMultiStreamName(const std::string& name) {
  return !name.empty() && name.size() < kMultiStreamNameBytes;
}

}  // namespace sorvo
