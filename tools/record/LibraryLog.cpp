#include "tools/record/LibraryLog.h"

#include <unistd.h>

#include <cstdio>

#include <sorvo/sorvo.h>

namespace sorvo::tools {
namespace {

void PrintLibraryLine(int level, const char* text, unsigned int /*line*/, long /*code*/,
                      void* user) {
  if (level < SORVO_LOG_INFO) return;
  static const char* const kLevels[] = {"debug", "info", "warning", "error"};
  const bool terminal = user != nullptr;
  // One call, so that lines from several threads do not interleave.
  std::fprintf(stderr, "%slibrary %s: %s\n", terminal ? "\r\033[K" : "",
               kLevels[level > SORVO_LOG_ERROR ? SORVO_LOG_ERROR : level], text);
}

}  // namespace

LibraryLog::LibraryLog() {
  static int terminal = 1;
  SorvoSetLogHandler(PrintLibraryLine, isatty(STDERR_FILENO) ? &terminal : nullptr);
}

LibraryLog::~LibraryLog() { SorvoSetLogHandler(nullptr, nullptr); }

}  // namespace sorvo::tools
