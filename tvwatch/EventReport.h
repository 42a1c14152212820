// Reports of the service host to the event log under the source "Torva Server".
#pragma once

#include "platform/wintypes.h"

// Writes one event of `type` (1 error, 2 warning, 4 information) with message
// `id`. `letters` has one letter per insert and takes the values that follow:
// 'c' a character, 'd' an int, 'l' a long, 'p' a pointer, 's' a string used
// unchanged, 'x' an unsigned in lower-case hex; any other letter stands for
// "?????" and takes no value. Null for an event without inserts. Returns 0
// when the event was written, -1 otherwise (nothing is reported when an
// allocation fails).
int EventReport(WORD type, DWORD id, const char* letters, ...);

// The warning EVMSG_API_ERROR for a failed call, named with "()", and its error number.
void ApiError(const char* call, DWORD error);

// The error EVMSG_ABNORMAL_END.
void AbnormalEnd();
