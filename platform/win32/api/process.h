// The process and pipe names of the platform layer are those of the Windows
// headers; the status of a short buffer comes from the native API, whose
// header (ntstatus.h) cannot be included beside windows.h.
#pragma once

#include "platform/api/windows.h"

#ifndef STATUS_INFO_LENGTH_MISMATCH
#define STATUS_INFO_LENGTH_MISMATCH (static_cast<NTSTATUS>(0xC0000004L))
#endif
#ifndef STATUS_SUCCESS
#define STATUS_SUCCESS (static_cast<NTSTATUS>(0x00000000L))
#endif
