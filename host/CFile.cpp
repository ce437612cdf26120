#include "host/CFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

CFile::~CFile() { Close(); }

bool CFile::Open(const char* path, unsigned flags) {
  Close();
  if (path == nullptr || *path == '\0') return false;
  int oflags = O_CLOEXEC;
  if (flags & modeReadWrite)
    oflags |= O_RDWR;
  else if (flags & modeWrite)
    oflags |= O_WRONLY;
  else
    oflags |= O_RDONLY;
  if (flags & modeCreate) {
    oflags |= O_CREAT;
    if (!(flags & modeNoTruncate)) oflags |= O_TRUNC;
  }
  int fd;
  do {
    fd = ::open(path, oflags, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  m_fd = fd;
  m_path = path;
  return true;
}

bool CFile::Write(const void* data, size_t count) {
  if (m_fd < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (count > 0) {
    ssize_t n = ::write(m_fd, p, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

long CFile::Read(void* data, size_t count) {
  if (m_fd < 0) return -1;
  ssize_t n;
  do {
    n = ::read(m_fd, data, count);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

void CFile::Close() {
  if (m_fd >= 0) {
    ::close(m_fd);
    m_fd = -1;
  }
  m_path.clear();
}
