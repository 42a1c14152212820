// The event log and message formatting calls that Windows defines, for a
// system without the Windows headers (see platform/eventlog.h).
#pragma once

#include <cstdarg>

#include "platform/module.h"
#include "platform/wintypes.h"

enum : WORD {
  EVENTLOG_SUCCESS = 0x0000,
  EVENTLOG_ERROR_TYPE = 0x0001,
  EVENTLOG_WARNING_TYPE = 0x0002,
  EVENTLOG_INFORMATION_TYPE = 0x0004,
};

// Never fails for a non-empty source: an unregistered source reports too.
HANDLE RegisterEventSource(const char* server_name, const char* source_name);
BOOL DeregisterEventSource(HANDLE event_log);
// `type` is one of the three above or EVENTLOG_SUCCESS (shown as Information);
// another type fails with ERROR_INVALID_PARAMETER. `user_sid` and `raw_data`
// are not kept. FALSE with the last error when the line cannot be written.
BOOL ReportEvent(HANDLE event_log, WORD type, WORD category, DWORD event_id, void* user_sid,
                 WORD num_strings, DWORD data_size, const char** strings, void* raw_data);

// The published message-table layout: a count of blocks, the blocks (each a
// run of consecutive ids and the offset of its first entry from the start of
// the table) and, for each block, one entry per id. An entry's Length counts
// its four header bytes and its text; the text is NUL-terminated and padded to
// a multiple of four bytes, in the system code page (Flags 0) or UTF-16
// (MESSAGE_RESOURCE_UNICODE).
struct MESSAGE_RESOURCE_BLOCK {
  DWORD LowId;
  DWORD HighId;
  DWORD OffsetToEntries;
};
struct MESSAGE_RESOURCE_DATA {
  DWORD NumberOfBlocks;
  MESSAGE_RESOURCE_BLOCK Blocks[1];
};
struct MESSAGE_RESOURCE_ENTRY {
  WORD Length;
  WORD Flags;
  BYTE Text[1];
};
enum : WORD { MESSAGE_RESOURCE_UNICODE = 0x0001 };

enum : DWORD {
  FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200,
  FORMAT_MESSAGE_FROM_STRING = 0x00000400,
  FORMAT_MESSAGE_FROM_HMODULE = 0x00000800,
  FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000,
  FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000,
  FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF,
};

// Formats a message from a module's message table (FROM_HMODULE, `source` the
// module), from a string (FROM_STRING) or from the system's text of a Windows
// error number (FROM_SYSTEM: the English sentence, ending in CR LF, of every
// number this layer reports). Inserts %1 to %99, each optionally
// with a printf conversion "%1!d!" (default "!s!"), take their values from
// `arguments`, which with FORMAT_MESSAGE_ARGUMENT_ARRAY is an array of
// DWORD_PTR cast to va_list* (the only form offered here). Also %0 (end, no
// line break), %n (CR LF), %r, %t, %%, "%.", "%!" and "% ". A width of
// FORMAT_MESSAGE_MAX_WIDTH_MASK turns the text's own line breaks into blanks;
// other widths keep them. Returns the characters stored without the NUL, or
// 0 with ERROR_MR_MID_NOT_FOUND (no such id), ERROR_RESOURCE_TYPE_NOT_FOUND
// (no message table), ERROR_INSUFFICIENT_BUFFER or ERROR_INVALID_PARAMETER
// (an insert without arguments, a bad conversion).
DWORD FormatMessage(DWORD flags, const void* source, DWORD message_id, DWORD language_id,
                    char* buffer, DWORD size, va_list* arguments);
