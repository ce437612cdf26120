// The host's file class over a POSIX descriptor. Unlike MFC's it reports a failed write by
// its result instead of an exception, so that the caller decides; it never ignores one.
// Not thread-safe: its owner serialises access.
#pragma once

#include <cstddef>
#include <string>

class CFile {
 public:
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    modeWrite = 0x0001,
    modeReadWrite = 0x0002,
    modeCreate = 0x1000,  // create, truncating an existing file
    modeNoTruncate = 0x2000,
    modeCreateNew = 0x4000,  // create, failing (EEXIST) when the file exists
  };

  CFile() = default;
  ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Opens `path`; closes a file that was open first. False when it cannot be opened.
  bool Open(const char* path, unsigned flags);
  // Writes all `count` bytes (retrying partial writes); false on any failure.
  bool Write(const void* data, size_t count);
  // Reads up to `count` bytes; the number read, or -1 on failure.
  long Read(void* data, size_t count);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  const std::string& GetFilePath() const { return m_path; }

 private:
  int m_fd = -1;
  std::string m_path;
};

namespace sorvo {
// Opens a new file for writing at `path`, or, when a file is there already, at `path` with
// "_2", "_3", ... before its extension, so that no earlier file is ever truncated. Returns
// the path opened, or an empty string (errno set) when none could be.
std::string OpenNewFile(CFile& file, const std::string& path);
}  // namespace sorvo
