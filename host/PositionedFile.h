// An existing file read and written at chosen offsets, for code that edits a file in place
// (an MP4 made regular after it was recorded). Every failure is reported by the call that
// met it, with errno set.
//
// Threads: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvo {

class PositionedFile {
 public:
  PositionedFile() = default;
  ~PositionedFile();
  PositionedFile(const PositionedFile&) = delete;
  PositionedFile& operator=(const PositionedFile&) = delete;

  // Opens `path` for reading and writing; false when it cannot be opened.
  bool Open(const std::string& path);
  // Whether it is a regular file, and its length; -1 when unknown.
  bool IsRegular() const;
  int64_t Size() const;
  // All `count` bytes at `offset`, or false.
  bool ReadAt(uint64_t offset, void* out, size_t count) const;
  bool WriteAt(uint64_t offset, const void* data, size_t count);
  // The file's data on the disk, so that what is written later cannot reach it first.
  bool Sync();
  bool Truncate(uint64_t size);

 private:
  int m_fd = -1;
};

}  // namespace sorvo
