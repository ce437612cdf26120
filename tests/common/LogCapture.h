// Captures the host log for the lifetime of the object.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "host/Log.h"

namespace sorvo::test {

struct LogLine {
  int level;
  std::string text;
  unsigned int line;
  long code;
};

class LogCapture {
 public:
  LogCapture() { SorvoSetLogHandler(&LogCapture::Handle, this); }
  ~LogCapture() { SorvoSetLogHandler(nullptr, nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lines;
  }

 private:
  static void Handle(int level, const char* text, unsigned int line, long code, void* user) {
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> hold(self->m_lock);
    self->m_lines.push_back({level, text, line, code});
  }

  std::mutex m_lock;
  std::vector<LogLine> m_lines;  // guarded by m_lock
};

}  // namespace sorvo::test
