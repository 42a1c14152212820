// The server log (standard output), the access log (standard error) and hex
// dumps. Every writer takes the log lock, which is always the innermost lock.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

// Levels: -1 always (no tag), 1 [E], 2 [W], 3 [I], 4 [D], 5 [T].
void LogWrite(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void AccessLogWrite(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Hex dump on standard output; writes only when dump-log is on.
void DumpWrite(const char* title, const void* data, size_t size);

// Puts `text` in double quotes for a log line that programs read back: '"',
// '\\' and every byte outside printable ASCII become \", \\ and \xHH, so
// no client-chosen text can end the field or the line. Cut at out[size].
void LogQuote(char* out, size_t size, const char* text);

// "Failed <call>() errno=<code>": the one place that formats that suffix.
void LogFailed(int level, const char* call, DWORD code);

// The log lock, for writers outside this unit (the TLS error print).
void LogLock();
void LogUnlock();

// Entry and exit lines of the main routines.
#define TRACE_START(routine, unit) LogWrite(5, "%s() start / %s:%d", routine, unit, __LINE__)
#define TRACE_END(routine, unit) LogWrite(5, "%s() end / %s:%d", routine, unit, __LINE__)
