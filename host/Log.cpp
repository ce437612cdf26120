#include "host/Log.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex g_handlerLock;
SorvoLogHandler g_handler = nullptr;  // guarded by g_handlerLock
void* g_user = nullptr;               // guarded by g_handlerLock

const char* LevelName(int level) {
  switch (level) {
    case SORVO_LOG_DEBUG: return "debug";
    case SORVO_LOG_INFO: return "info";
    case SORVO_LOG_WARN: return "warning";
    default: return "error";
  }
}

void Emit(int level, const char* text, unsigned int line, long code) {
  if (text == nullptr) text = "";
  // The handler is called under the lock so that it cannot be replaced (and its user data
  // freed) while a call is in flight.
  std::lock_guard<std::mutex> hold(g_handlerLock);
  if (g_handler != nullptr) {
    g_handler(level, text, line, code, g_user);
    return;
  }
  std::fprintf(stderr, "sorvo %s: %s\n", LevelName(level), text);
}

}  // namespace

void SorvoSetLogHandler(SorvoLogHandler handler, void* user) {
  std::lock_guard<std::mutex> hold(g_handlerLock);
  g_handler = handler;
  g_user = user;
}

void LogDebug(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_DEBUG, text, line, code); }
void LogInfo(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_INFO, text, line, code); }
void LogWarn(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_WARN, text, line, code); }
void LogError(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_ERROR, text, line, code); }
