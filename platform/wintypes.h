// The Windows vocabulary that the platform layer speaks: integer types, handles,
// error numbers and the per-thread last error. The names that Windows itself
// defines come from platform/api/wintypes.h: the system headers on Windows,
// their twins for this system elsewhere.
#pragma once

#include "platform/api/wintypes.h"

// Windows error number for a C library errno value.
[[nodiscard]] DWORD ErrnoToWin32(int err);
