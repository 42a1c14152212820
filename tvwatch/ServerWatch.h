// Watching the server: copying its output, stopping it on request.
#pragma once

#include "platform/wintypes.h"

// One pass over the server's standard output and error: at most 1024 bytes
// from each, appended to the server log and the access log. Returns the bytes moved.
DWORD PipeDrain();

// Runs until the server is gone: it ended by itself, or the stop event was
// set and the server stopped through its stop file (or its process tree was
// killed after 50 waits of 100 ms).
void ServerWatch(HANDLE stop_event);
