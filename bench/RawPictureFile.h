// The input of bench/compare's programs: a file of packed pictures of one size, read one
// picture at a time, as a capture source would hand them over. One thread.
#pragma once

#include <cstdio>
#include <memory>
#include <vector>

namespace sorvo::bench {

class RawPictureFile {
 public:
  // Opens the file; ok() tells whether it could, and why not went to standard error.
  RawPictureFile(const char* path, size_t pictureBytes)
      : m_file(std::fopen(path, "rb")), m_picture(pictureBytes) {
    if (!m_file) std::perror(path);
  }

  bool ok() const { return m_file != nullptr; }
  // Reads the next whole picture into picture(); false at the end of the file.
  bool Next() { return ReadInto(m_picture.data()); }
  // Reads the next whole picture into `buffer`, which holds at least one picture; false at
  // the end of the file.
  bool ReadInto(unsigned char* buffer) {
    return m_file && std::fread(buffer, 1, m_picture.size(), m_file.get()) == m_picture.size();
  }
  std::vector<unsigned char>& picture() { return m_picture; }

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> m_file;
  std::vector<unsigned char> m_picture;
};

}  // namespace sorvo::bench
