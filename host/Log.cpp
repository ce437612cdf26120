#include "host/Log.h"

#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

// One installed handler and the number of calls into it under way.
struct Installed {
  SorvoLogHandler handler;
  void* user;
  int calls = 0;  // guarded by g_lock
};

// g_lock guards which handler is installed and the call counts; it is never held while a
// handler runs, so a handler may log, install another handler or take its time.
std::mutex g_lock;
std::condition_variable g_callEnded;
std::shared_ptr<Installed> g_installed;  // guarded by g_lock
// Non-zero while this thread runs a handler.
thread_local int t_handlerDepth = 0;

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

// Counts one call into `installed` for its lifetime, also when the handler throws.
class HandlerCall {
 public:
  explicit HandlerCall(std::shared_ptr<Installed> installed) : m_installed(std::move(installed)) {
    ++t_handlerDepth;
  }
  ~HandlerCall() {
    --t_handlerDepth;
    {
      std::lock_guard<std::mutex> hold(g_lock);
      --m_installed->calls;
    }
    g_callEnded.notify_all();
  }
  HandlerCall(const HandlerCall&) = delete;
  HandlerCall& operator=(const HandlerCall&) = delete;

 private:
  std::shared_ptr<Installed> m_installed;
};

void Emit(int level, const char* text, unsigned int line, long code) {
  if (text == nullptr) text = "";
  // A line logged by the handler itself (or by something it calls) is not handed back to
  // it: a handler that logs every line it gets would never return.
  if (t_handlerDepth > 0) {
    WriteDefault(level, text);
    return;
  }
  std::shared_ptr<Installed> installed;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    installed = g_installed;
    if (installed != nullptr)
      ++installed->calls;
  }
  if (installed == nullptr) {
    WriteDefault(level, text);
    return;
  }
  HandlerCall call(installed);
  installed->handler(level, text, line, code, installed->user);
}

}  // namespace

void SorvoSetLogHandler(SorvoLogHandler handler, void* user) {
  std::unique_lock<std::mutex> hold(g_lock);
  std::shared_ptr<Installed> previous = std::move(g_installed);
  if (handler != nullptr)
    g_installed = std::make_shared<Installed>(Installed{handler, user});
  // Calls into the previous handler on other threads end before this returns, so that
  // its user data may go. A handler replacing itself cannot wait for the others: two of
  // them doing so at once would wait for each other.
  if (previous != nullptr && t_handlerDepth == 0)
    g_callEnded.wait(hold, [&previous] { return previous->calls == 0; });
}

void LogDebug(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_DEBUG, text, line, code); }
void LogInfo(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_INFO, text, line, code); }
void LogWarn(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_WARN, text, line, code); }
void LogError(const char* text, unsigned int line, long code) { Emit(SORVO_LOG_ERROR, text, line, code); }
