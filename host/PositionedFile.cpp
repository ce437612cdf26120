#include "host/PositionedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sorvo {
namespace {

// Repeats `transfer` (pread or pwrite) until all `count` bytes at `offset` are moved; a
// transfer that moves nothing fails with `stalled`.
template <typename Transfer, typename Byte>
bool TransferAll(Transfer transfer, Byte* bytes, size_t count, uint64_t offset, int stalled) {
  while (count > 0) {
    const ssize_t moved = transfer(bytes, count, static_cast<off_t>(offset));
    if (moved < 0 && errno == EINTR)
      continue;
    if (moved <= 0) {
      if (moved == 0)
        errno = stalled;
      return false;
    }
    bytes += moved;
    count -= static_cast<size_t>(moved);
    offset += static_cast<uint64_t>(moved);
  }
  return true;
}

}  // namespace

PositionedFile::~PositionedFile() {
  if (m_fd >= 0)
    close(m_fd);
}

bool PositionedFile::Open(const std::string& path) {
  return OpenWith(path, O_RDWR);
}

bool PositionedFile::Create(const std::string& path) {
  return OpenWith(path, O_RDWR | O_CREAT | O_TRUNC);
}

bool PositionedFile::OpenWith(const std::string& path, int flags) {
  Close();
  do {
    m_fd = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, 0666);
  } while (m_fd < 0 && errno == EINTR);
  return m_fd >= 0;
}

bool PositionedFile::Close() {
  const int fd = m_fd;
  m_fd = -1;
  return fd >= 0 && close(fd) == 0;
}

bool PositionedFile::IsRegular() const {
  struct stat status;
  return m_fd >= 0 && fstat(m_fd, &status) == 0 && S_ISREG(status.st_mode);
}

int64_t PositionedFile::Size() const {
  struct stat status;
  return m_fd >= 0 && fstat(m_fd, &status) == 0 ? static_cast<int64_t>(status.st_size) : -1;
}

bool PositionedFile::ReadAt(uint64_t offset, void* out, size_t count) const {
  return TransferAll(
      [this](char* bytes, size_t size, off_t at) { return pread(m_fd, bytes, size, at); },
      static_cast<char*>(out), count, offset, EIO);
}

bool PositionedFile::WriteAt(uint64_t offset, const void* data, size_t count) {
  return TransferAll(
      [this](const char* bytes, size_t size, off_t at) { return pwrite(m_fd, bytes, size, at); },
      static_cast<const char*>(data), count, offset, ENOSPC);
}

bool PositionedFile::Sync() {
  return fdatasync(m_fd) == 0;
}

bool PositionedFile::Truncate(uint64_t size) {
  return ftruncate(m_fd, static_cast<off_t>(size)) == 0;
}

}  // namespace sorvo
