// The utility library's log. Lines go to a handler the host can install; the default
// writes one line per call to standard error with its level.
#pragma once

#include "host/SorvoExport.h"

enum SorvoLogLevel { SORVO_LOG_DEBUG = 0, SORVO_LOG_INFO = 1, SORVO_LOG_WARN = 2, SORVO_LOG_ERROR = 3 };

// Called on whichever thread logs; must not keep `text`. May be called concurrently.
typedef void (*SorvoLogHandler)(int level, const char* text, unsigned int line, long code,
                                void* user);

// Installs `handler` (null restores the default) with its `user` pointer.
SORVO_EXPORT void SorvoSetLogHandler(SorvoLogHandler handler, void* user);

void LogDebug(const char* text, unsigned int line, long code);
void LogInfo(const char* text, unsigned int line, long code);
void LogWarn(const char* text, unsigned int line, long code);
void LogError(const char* text, unsigned int line, long code);
