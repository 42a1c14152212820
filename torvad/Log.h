// The server log (standard output), the access log (standard error) and hex
// dumps. Every writer takes the log lock (see torvad/SharedState.h).
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

// "<prefix>Failed <call>() errno=<code>": the one place that formats that
// text. `prefix` names the step's context ("PASV: "), empty by default.
void LogFailed(int level, const char* call, DWORD code, const char* prefix = "");

// A broken invariant: "Logic Error!!" in the log as always, and in the debug
// log the file and line where it was detected. Failures that the environment
// causes go through LogFailed instead.
#define LOGIC_ERROR() LogLogicError(__FILE__, __LINE__)
void LogLogicError(const char* file, int line);

// Holds the log lock for its lifetime, for writers outside this unit that
// print straight to standard output (the TLS library's error print).
class ScopedLogLock {
 public:
  ScopedLogLock();
  ~ScopedLogLock();
  ScopedLogLock(const ScopedLogLock&) = delete;
  ScopedLogLock& operator=(const ScopedLogLock&) = delete;
};

// Entry and exit lines of the main routines.
#define TRACE_START(routine, unit) LogWrite(5, "%s() start / %s:%d", routine, unit, __LINE__)
#define TRACE_END(routine, unit) LogWrite(5, "%s() end / %s:%d", routine, unit, __LINE__)
