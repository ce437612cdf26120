#include "tools/common/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sorvo::tools {
namespace {

const char* WhatItIs(mode_t mode) {
  if (S_ISDIR(mode))
    return "it is a folder";
  if (S_ISFIFO(mode))
    return "it is a FIFO (a named pipe), not a regular file";
  if (S_ISSOCK(mode))
    return "it is a socket, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode))
    return "it is a device, not a regular file";
  return "it is not a regular file";
}

}  // namespace

MappedFile::~MappedFile() {
  if (m_mapping != nullptr)
    munmap(m_mapping, m_size);
}

bool MappedFile::Open(const std::string& path, std::string* error) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer, possibly for ever.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  struct stat info {};
  if (fstat(fd, &info) != 0) {
    *error = std::strerror(errno);
    close(fd);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = WhatItIs(info.st_mode);
    close(fd);
    return false;
  }
  m_device = info.st_dev;
  m_inode = info.st_ino;
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

bool MappedFile::IsSameFile(const std::string& path) const {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && info.st_dev == m_device && info.st_ino == m_inode;
}

}  // namespace sorvo::tools
