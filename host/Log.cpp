#include "host/Log.h"

#include <cstdio>

#include "host/WaitedTarget.h"

namespace {

struct Handler {
  SorvoLogHandler function;
  void* user;
};

// The installed handler; replacing it waits for the calls into the previous one.
sorvo::WaitedTarget<Handler> g_handler;

const char* LevelName(int level) {
  switch (level) {
    case SORVO_LOG_DEBUG: return "debug";
    case SORVO_LOG_INFO: return "info";
    case SORVO_LOG_WARN: return "warning";
    default: return "error";
  }
}

void WriteDefault(int level, const char* text) {
  std::fprintf(stderr, "sorvo %s: %s\n", LevelName(level), text);
}

void Emit(int level, const char* text, unsigned int line, long code) {
  if (text == nullptr)
    text = "";
  // A line logged by the handler itself (or by something it calls) is not handed back to
  // it: a handler that logs every line it gets would never return.
  if (sorvo::WaitedTarget<Handler>::InsideCall() || !g_handler.Call([&](const Handler& handler) {
        handler.function(level, text, line, code, handler.user);
      }))
    WriteDefault(level, text);
}

}  // namespace

void SorvoSetLogHandler(SorvoLogHandler handler, void* user) {
  // Calls into the previous handler on other threads end before this returns, so that its
  // user data may go.
  if (handler != nullptr)
    g_handler.Install(Handler{handler, user});
  else
    g_handler.Clear();
}

void LogDebug(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_DEBUG, text, line, code); }
void LogInfo(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_INFO, text, line, code); }
void LogWarn(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_WARN, text, line, code); }
void LogError(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_ERROR, text, line, code); }
