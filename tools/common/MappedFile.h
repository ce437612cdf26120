// A whole file mapped read-only into memory, for programs that walk through a recording
// byte by byte without reading it in pieces. Unmapped when destroyed; any thread.
#pragma once

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

  // False with `error` set when the file cannot be opened or mapped. An empty file maps
  // to no bytes.
  bool Open(const std::string& path, std::string* error);

  const uint8_t* data() const { return m_data; }
  size_t size() const { return m_size; }

 private:
  const uint8_t* m_data = nullptr;
  size_t m_size = 0;
  void* m_mapping = nullptr;
};

}  // namespace sorvo::tools
