// printf-style wrappers over the host's log: the text is formatted into a 4096-byte
// buffer, cut after 4095 characters, and logged with line 0 and code 0. Any thread.
#pragma once

void LogDebugF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogInfoF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogWarnF(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogErrorF(const char* format, ...) __attribute__((format(printf, 1, 2)));
