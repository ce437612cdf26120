#include "tools/record/edit/TextFile.h"

#include <cerrno>
#include <cstring>

namespace sorvo::tools {

TextFile::~TextFile() {
  if (m_file != nullptr) {
    std::fclose(m_file);
    std::remove(m_partial.c_str());
  }
}

bool TextFile::Open(const std::string& path, std::string* error) {
  m_path = path;
  m_partial = path + ".part";
  m_writeError = 0;
  m_file = std::fopen(m_partial.c_str(), "wb");
  if (m_file == nullptr) {
    *error = "cannot create " + m_partial + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void TextFile::Write(std::string_view text) {
  if (m_file != nullptr && m_writeError == 0 &&
      std::fwrite(text.data(), 1, text.size(), m_file) != text.size())
    m_writeError = errno != 0 ? errno : EIO;
}

bool TextFile::Commit(std::string* error) {
  if (m_file == nullptr) {
    *error = "cannot write " + m_path + ": it was not opened";
    return false;
  }
  const bool closed = std::fclose(m_file) == 0;
  const int closeError = errno;
  m_file = nullptr;
  if (m_writeError != 0 || !closed) {
    *error = "cannot write " + m_path + ": " +
             std::strerror(m_writeError != 0 ? m_writeError : closeError);
    std::remove(m_partial.c_str());
    return false;
  }
  if (std::rename(m_partial.c_str(), m_path.c_str()) != 0) {
    *error = "cannot name " + m_path + ": " + std::strerror(errno);
    std::remove(m_partial.c_str());
    return false;
  }
  return true;
}

bool WriteTextFile(const std::string& path,
                   const std::function<void(const TextSink&)>& write,
                   std::string* error) {
  TextFile file;
  if (!file.Open(path, error))
    return false;
  write([&file](std::string_view text) { file.Write(text); });
  return file.Commit(error);
}

}  // namespace sorvo::tools
