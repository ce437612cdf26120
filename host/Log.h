// The utility library's log. Lines go to a handler the host can install; the default
// writes one line per call to standard error with its level.
#pragma once

#include "host/SorvoExport.h"

enum SorvoLogLevel { SORVO_LOG_DEBUG = 0, SORVO_LOG_INFO = 1, SORVO_LOG_WARN = 2, SORVO_LOG_ERROR = 3 };

// Called on whichever thread logs; must not keep `text`. May be called concurrently, and
// no lock of the library's log is held while it runs. A line logged while this thread
// runs the handler (by the handler itself, or by what it calls) is written to standard
// error instead of coming back to the handler.
typedef void (*SorvoLogHandler)(int level, const char* text, unsigned int line, long code,
                                void* user);

// Installs `handler` (null restores the default) with its `user` pointer. Returns once no
// other thread runs the previous handler any more, so that its user data may be freed;
// called from inside a handler it does not wait (that handler's own call still runs).
SORVO_EXPORT void SorvoSetLogHandler(SorvoLogHandler handler, void* user);

void LogDebug(const char* text, unsigned int line, long code);
void LogInfo(const char* text, unsigned int line, long code);
void LogWarn(const char* text, unsigned int line, long code);
void LogError(const char* text, unsigned int line, long code);
