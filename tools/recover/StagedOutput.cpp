#include "tools/recover/StagedOutput.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace sorvo::tools {

StagedOutput::StagedOutput(std::string finalPath) : m_final(std::move(finalPath)) {}

StagedOutput::~StagedOutput() {
  if (!m_temporary.empty() && !m_committed)
    unlink(m_temporary.c_str());
}

bool StagedOutput::Create(std::string* error) {
  const size_t slash = m_final.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : m_final.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? m_final : m_final.substr(slash + 1);
  std::string pattern = folder + "." + name + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  const int fd = mkstemp(buffer.data());
  if (fd < 0) {
    *error = "cannot create " + m_final + ": " + std::strerror(errno);
    return false;
  }
  // mkstemp makes the file private; the finished file gets what any new file would.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  close(fd);
  m_temporary = buffer.data();
  return true;
}

bool StagedOutput::Commit(std::string* error) {
  if (std::rename(m_temporary.c_str(), m_final.c_str()) != 0) {
    *error = "cannot name the new file " + m_final + ": " + std::strerror(errno);
    return false;
  }
  m_committed = true;
  return true;
}

}  // namespace sorvo::tools
