// Threads, console control signals, process exit and system information: the
// calls that Windows defines come from platform/api/system.h.
#pragma once

#include "platform/api/system.h"
#include "platform/wintypes.h"

// Makes the process run as the named account from now on: its group list,
// then its primary group, then its user, with no way back. 0, or the error:
// ERROR_NONE_MAPPED for an account that does not exist, else the error of the
// step that failed (the process may then be half switched and must end). A
// process that already runs as that account alone succeeds without a change.
[[nodiscard]] DWORD RunAsAccount(const char* account);
