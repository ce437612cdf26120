#include "support/LogF.h"

#include <cstdarg>
#include <cstdio>

#include "host/Log.h"

namespace {

using LogFunction = void (*)(const char*, unsigned int, long);

void Format(LogFunction log, const char* format, va_list args) {
  char text[4096] = {};
  if (format != nullptr) std::vsnprintf(text, sizeof(text), format, args);
  log(text, 0, 0);
}

}  // namespace

#define SORVO_DEFINE_LOGF(name, function) \
  void name(const char* format, ...) {    \
    va_list args;                         \
    va_start(args, format);               \
    Format(function, format, args);       \
    va_end(args);                         \
  }

SORVO_DEFINE_LOGF(LogDebugF, LogDebug)
SORVO_DEFINE_LOGF(LogInfoF, LogInfo)
SORVO_DEFINE_LOGF(LogWarnF, LogWarn)
SORVO_DEFINE_LOGF(LogErrorF, LogError)
