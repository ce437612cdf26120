#include "tools/record/edit/TextFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sorvo::tools {

bool WriteTextFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string partial = path + ".part";
  std::FILE* file = std::fopen(partial.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create " + partial + ": " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int writeError = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    *error = "cannot write " + path + ": " + std::strerror(written ? errno : writeError);
    std::remove(partial.c_str());
    return false;
  }
  if (std::rename(partial.c_str(), path.c_str()) != 0) {
    *error = "cannot name " + path + ": " + std::strerror(errno);
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

}  // namespace sorvo::tools
