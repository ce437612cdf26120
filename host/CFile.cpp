#include "host/CFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "host/PathUtil.h"

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
    if (flags & modeCreateNew)
      oflags |= O_EXCL;
    else if (!(flags & modeNoTruncate))
      oflags |= O_TRUNC;
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

namespace sorvo {

std::string OpenNewFile(CFile& file, const std::string& path) {
  const unsigned flags = CFile::modeCreate | CFile::modeCreateNew | CFile::modeWrite;
  if (file.Open(path.c_str(), flags)) return path;
  const size_t extension = static_cast<size_t>(PathFindExtensionA(path.c_str()) - path.c_str());
  for (int n = 2; n < 1000 && errno == EEXIST; ++n) {
    std::string candidate =
        path.substr(0, extension) + "_" + std::to_string(n) + path.substr(extension);
    if (file.Open(candidate.c_str(), flags)) return candidate;
  }
  return std::string();
}

}  // namespace sorvo
