#pragma once

#include "platform/wintypes.h"

// The session thread: greets the client, reads command lines and dispatches
// them until the session ends.
DWORD TransMain(void* unused);
