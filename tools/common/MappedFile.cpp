#include "tools/common/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sorvo::tools {

MappedFile::~MappedFile() {
  if (m_mapping != nullptr) munmap(m_mapping, m_size);
}

bool MappedFile::Open(const std::string& path, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file";
    close(fd);
    return false;
  }
  m_size = static_cast<size_t>(info.st_size);
  if (m_size > 0) {
    void* mapping = mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (mapping == MAP_FAILED) {
      *error = std::strerror(errno);
      m_size = 0;
      close(fd);
      return false;
    }
    m_mapping = mapping;
    m_data = static_cast<const uint8_t*>(mapping);
  }
  close(fd);
  return true;
}

}  // namespace sorvo::tools
