#include "tools/view/VideoFileOutput.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

namespace sorvo::tools {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         strcasecmp(text.c_str() + text.size() - tail.size(), tail.c_str()) == 0;
}

}  // namespace

bool VideoFileOutput::NameIsSupported(const std::string& path) {
  return EndsWith(path, ".m4v") || IsTimed(path);
}

bool VideoFileOutput::IsTimed(const std::string& path) {
  return EndsWith(path, ".mp4");
}

VideoFileOutput::VideoFileOutput(std::string path, int width, int height, int frameRate)
    : m_path(std::move(path)) {
  if (IsTimed(m_path))
    m_mp4 = std::make_unique<Mp4VideoWriter>(m_path, width, height, frameRate);
}

VideoFileOutput::~VideoFileOutput() {
  Finish();
}

bool VideoFileOutput::Write(const uint8_t* data, size_t size, bool key, int64_t tick) {
  if (!m_error.empty())
    return false;
  if (m_mp4) {
    const Mp4VideoWriter::Result result = m_mp4->Write(data, size, key, tick);
    if (result == Mp4VideoWriter::Result::kFailed) {
      m_error = m_mp4->error();
      return false;
    }
    m_written = m_mp4->packets();
    return true;
  }
  if (!m_started) {
    if (!key)
      return true;
    m_elementary.reset(std::fopen(m_path.c_str(), "wb"));
    if (!m_elementary) {
      m_error = "cannot create " + m_path + ": " + std::strerror(errno);
      return false;
    }
    m_started = true;
  }
  if (std::fwrite(data, 1, size, m_elementary.get()) != size) {
    m_error = "writing " + m_path + " failed: " + std::strerror(errno);
    return false;
  }
  ++m_written;
  return true;
}

bool VideoFileOutput::Finish() {
  if (m_mp4) {
    if (!m_mp4->Finish() && m_error.empty())
      m_error = m_mp4->error();
  } else if (m_elementary) {
    if (std::fclose(m_elementary.release()) != 0 && m_error.empty())
      m_error = "writing " + m_path + " failed: " + std::strerror(errno);
  }
  return m_error.empty();
}

}  // namespace sorvo::tools
