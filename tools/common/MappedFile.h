// A whole file mapped read-only into memory, for programs that walk through a recording
// byte by byte without reading it in pieces. Unmapped when destroyed; any thread.
//
// Only a regular file is mapped: the path is opened without blocking, so a FIFO or a
// device is refused instead of waiting for a writer. The mapping stays valid only while
// nobody shortens the file; a program must never open the mapped file for writing itself.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace sorvo::tools {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // False with `error` set when the file cannot be opened or mapped, or is not a regular
  // file. An empty file maps to no bytes.
  bool Open(const std::string& path, std::string* error);

  const uint8_t* data() const { return m_data; }
  size_t size() const { return m_size; }
  // Whether `path` names this very file (the same device and inode, however it is
  // spelled: through links, `..` or another hard link). False when it does not exist.
  bool IsSameFile(const std::string& path) const;

 private:
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  void* m_mapping = nullptr;
  dev_t m_device = 0;
  ino_t m_inode = 0;
};

}  // namespace sorvo::tools
