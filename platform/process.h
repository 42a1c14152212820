// Processes, anonymous pipes and the system's process list in the Win32 shape;
// the calls and records that Windows defines come from platform/api/process.h.
//
// A child gets the three standard handles that CreateProcess passes and
// nothing else: every other descriptor of the layer is close-on-exec. It
// starts with the default signal dispositions and an empty signal mask,
// whatever the parent has blocked or ignored.
#pragma once

#include "platform/api/process.h"
#include "platform/system.h"
#include "platform/wintypes.h"

// The routine that "ntdll.dll" exports as "ZwQuerySystemInformation", reached
// through LoadLibrary and GetProcAddress (platform/module.h). Class
// SystemProcessInformation fills `buffer` with one record per process, read
// from /proc; a buffer that is too small gives STATUS_INFO_LENGTH_MISMATCH with
// a size in *return_length that held the list at that moment with room for a few
// more processes.
using PZW_QUERY_SYSTEM_INFORMATION = NTSTATUS(NTAPI*)(ULONG information_class, void* buffer,
                                                      ULONG length, ULONG* return_length);
