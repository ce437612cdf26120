#include "tools/record/LibraryLog.h"

#include <cstdio>

#include <sorvo/sorvo.h>

namespace sorvo::tools {
namespace {

void OnLibraryLine(int level, const char* text, unsigned int /*line*/, long /*code*/,
                   void* user) {
  static_cast<LibraryLog*>(user)->Show(level, text != nullptr ? text : "");
}

// The director's warning as the library words it: the camera's name comes between the two
// parts, then the fitted size and the camera's own size.
constexpr char kResizeStart[] = "单流导播分辨率与源(";
constexpr char kResizeMiddle[] = ")分辨率大小不一样,需要resize:单流:";

}  // namespace

LibraryLog::LibraryLog(ProgressLine& progress) : m_progress(progress) {
  SorvoSetLogHandler(OnLibraryLine, this);
}

LibraryLog::~LibraryLog() { SorvoSetLogHandler(nullptr, nullptr); }

LibraryLog::Explanation LibraryLog::Explain(const std::string& line) {
  if (line.rfind(kResizeStart, 0) != 0) return {};
  const size_t nameStart = sizeof(kResizeStart) - 1;
  const size_t middle = line.find(kResizeMiddle, nameStart);
  if (middle == std::string::npos) return {};
  int fittedWidth = 0, fittedHeight = 0, width = 0, height = 0;
  if (std::sscanf(line.c_str() + middle + sizeof(kResizeMiddle) - 1, "%d,%d;源:%d,%d",
                  &fittedWidth, &fittedHeight, &width, &height) != 4)
    return {};
  Explanation explanation;
  explanation.camera = line.substr(nameStart, middle - nameStart);
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  const std::string prefix = "note: the library's resize warning for " + explanation.camera +
                             " means that the director ";
  if (fittedWidth == width && fittedHeight == height)
    explanation.text = prefix + "converts its " + size +
                       " pictures to its own pixel format (YUV 4:2:0) and keeps their size; "
                       "the numbers are equal because only the pixel format differs";
  else
    explanation.text = prefix + "scales its " + size + " pictures to " +
                       std::to_string(fittedWidth) + "x" + std::to_string(fittedHeight) +
                       " to fit its cut";
  explanation.text += ". Nothing is wrong.";
  return explanation;
}

void LibraryLog::Show(int level, const std::string& text) {
  if (level < SORVO_LOG_INFO) return;
  static const char* const kLevels[] = {"debug", "info", "warning", "error"};
  m_progress.LibraryLine(std::string("library ") +
                         kLevels[level > SORVO_LOG_ERROR ? SORVO_LOG_ERROR : level] + ": " + text);
  const Explanation explanation = Explain(text);
  if (explanation.text.empty()) return;
  {
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_explained.insert(explanation.camera).second) return;
  }
  m_progress.Message(explanation.text);
}

}  // namespace sorvo::tools
