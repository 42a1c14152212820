// Ending the server and every process it started.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

// Walks a process list (records of SYSTEM_PROCESS_INFORMATION in `size`
// bytes) from the process `root`: for every record whose creator is a
// process, in list order, that record's process first, by the same walk; then
// the process itself. So every descendant comes before its ancestors and
// `root` last. Each record is entered once, so creator links that form a
// cycle (ids are reused) end the walk instead of repeating it. Nothing is
// visited when no record has the id `root`. Returns false when the walk's
// bookkeeping cannot be allocated (nothing visited then).
bool ProcessTreeWalk(const void* list, size_t size, DWORD root, void (*visit)(DWORD pid, void* ctx),
                     void* ctx);

// Terminates process `pid` and all its descendants, children first, each with
// exit code 0. Failures are reported; a process that cannot be opened is skipped.
void ProcessTreeKill(DWORD pid);
