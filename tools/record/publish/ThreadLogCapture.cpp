#include "tools/record/publish/ThreadLogCapture.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

namespace sorvo::tools {
namespace {

thread_local ThreadLogCapture* t_capture = nullptr;

void OnFfmpegLine(void* context, int level, const char* format, va_list args) {
  ThreadLogCapture* capture = t_capture;
  if (capture == nullptr) {
    av_log_default_callback(context, level, format, args);
    return;
  }
  if (level > AV_LOG_WARNING)
    return;
  char line[512];
  std::vsnprintf(line, sizeof(line), format, args);
  capture->Keep(level, line);
}

}  // namespace

ThreadLogCapture::ThreadLogCapture() : m_outer(t_capture) {
  // Installed once for the process and left in place: it passes every other thread's lines
  // on unchanged.
  static std::once_flag installed;
  std::call_once(installed, [] { av_log_set_callback(OnFfmpegLine); });
  t_capture = this;
}

ThreadLogCapture::~ThreadLogCapture() {
  t_capture = m_outer;
}

std::string ThreadLogCapture::TakeLast() {
  std::string last;
  last.swap(m_last);
  return last;
}

void ThreadLogCapture::Keep(int /*level*/, const std::string& line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
    text.pop_back();
  if (!text.empty())
    m_last = text;
}

}  // namespace sorvo::tools
