// Appending the server's output to its log files, with rotation.
#pragma once

#include "platform/wintypes.h"
#include "tvwatch/WatchState.h"

// The files hold at most 1,048,576 bytes: a chunk that would make the log
// larger first moves it to its .old file (replacing the previous one) and
// starts it anew. The file is opened and closed for every chunk; its directory
// is never created. Failures are reported and drop this chunk only.
inline constexpr long long kLogLimit = 0x100000;
void LogAppend(WatchLog* log, const char* bytes, DWORD length);
