// Shows FFmpeg's own error lines (a network source's connection refused, a stream's
// damaged packets) above the progress line, each once: a source that keeps failing the
// same way while the recorder connects again every few seconds would otherwise fill the
// terminal, and the recorder says what happened to its sources in words of its own.
//
// Installed for the object's life; the progress line must outlive it. FFmpeg calls the
// callback on any thread; m_lock guards m_said.
#pragma once

#include <cstdarg>
#include <mutex>
#include <set>
#include <string>

#include "tools/record/ProgressLine.h"

namespace sorvo::tools {

class FfmpegLog {
 public:
  explicit FfmpegLog(ProgressLine& progress);
  ~FfmpegLog();
  FfmpegLog(const FfmpegLog&) = delete;
  FfmpegLog& operator=(const FfmpegLog&) = delete;

  // The line as shown, without the object's address FFmpeg puts in its prefix, so that
  // the same message from another connection is the same line.
  static std::string WithoutAddress(const std::string& line);

 private:
  static void Callback(void* object, int level, const char* format, va_list arguments);
  void Show(const std::string& line);

  ProgressLine& m_progress;
  std::mutex m_lock;
  std::set<std::string> m_said;
};

}  // namespace sorvo::tools
