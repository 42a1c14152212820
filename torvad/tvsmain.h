#pragma once

#include "platform/wintypes.h"

// Start-up and the accept loop; returns -1 when start-up fails (the loop
// itself only ends through TerminateFunc, which ends the process).
int tvsmain(int argc, char** argv);

// Console control handler: ends the server with status 0 (the log-off event
// is ignored). The accept loop calls it with 0 once the stop file is gone.
BOOL TerminateFunc(DWORD signal);
// Installed while terminating so that further signals do nothing.
BOOL SignalHold(DWORD signal);
