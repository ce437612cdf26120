// A scratch application directory for one benchmark, removed afterwards. The benchmark's
// thread only.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include "host/AppDirectory.h"

namespace sorvo::bench {

class ScratchDir {
 public:
  // Throws when no folder can be made: falling back on a shared folder would have the
  // destructor empty it.
  ScratchDir() {
    char pattern[] = "/tmp/sorvo-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
      throw std::system_error(errno, std::generic_category(), "cannot make a scratch folder");
    m_path = pattern;
    SorvoSetAppDirectory(m_path.c_str());
  }
  ~ScratchDir() {
    SorvoSetAppDirectory(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string File(const std::string& name) const { return m_path + "/" + name; }

 private:
  std::string m_path;
};

}  // namespace sorvo::bench
