// A file read and written at chosen offsets, for code that writes a file out of order (an
// MP4 whose fragments are made visible once whole, then made regular in place). Every
// failure is reported by the call that met it, with errno set.
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
  // Creates `path` for reading and writing, truncating a file that is there.
  bool Create(const std::string& path);
  // False when the close reported an error (or no file was open).
  bool Close();
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
  bool OpenWith(const std::string& path, int flags);

  int m_fd = -1;
};

}  // namespace sorvo
