#include "tools/record/FfmpegLog.h"

#include <atomic>
#include <cctype>

extern "C" {
#include <libavutil/log.h>
}

namespace sorvo::tools {
namespace {

// FFmpeg's callback carries no user pointer.
std::atomic<FfmpegLog*> g_log{nullptr};

}  // namespace

FfmpegLog::FfmpegLog(ProgressLine& progress) : m_progress(progress) {
  g_log.store(this);
  av_log_set_callback(Callback);
}

FfmpegLog::~FfmpegLog() {
  av_log_set_callback(av_log_default_callback);
  g_log.store(nullptr);
}

std::string FfmpegLog::WithoutAddress(const std::string& line) {
  // Each " @ 0x<hex>]" becomes "]".
  static const std::string kMark = " @ 0x";
  std::string out;
  size_t from = 0;
  for (size_t at = line.find(kMark); at != std::string::npos; at = line.find(kMark, at + 1)) {
    size_t end = at + kMark.size();
    while (end < line.size() && std::isxdigit(static_cast<unsigned char>(line[end])))
      ++end;
    if (end == at + kMark.size() || end == line.size() || line[end] != ']')
      continue;
    out.append(line, from, at - from);
    from = end;
  }
  return out.append(line, from, std::string::npos);
}

void FfmpegLog::Callback(void* object, int level, const char* format, va_list arguments) {
  if (level > AV_LOG_ERROR)
    return;
  char text[1024];
  int printPrefix = 1;
  av_log_format_line2(object, level, format, arguments, text, sizeof(text), &printPrefix);
  std::string line = text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
    line.pop_back();
  if (line.empty())
    return;
  if (FfmpegLog* log = g_log.load())
    log->Show(WithoutAddress(line));
}

void FfmpegLog::Show(const std::string& line) {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_said.insert(line).second)
      return;
  }
  m_progress.LibraryLine("ffmpeg: " + line);
}

}  // namespace sorvo::tools
