// Processes, anonymous pipes and the process list records in the Win32 shape,
// for a system without the Windows headers.
#pragma once

#include <cstdint>

#include "platform/system.h"
#include "platform/wintypes.h"

// ---- pipes ----

// An anonymous pipe. `size` is a suggestion; the system's own pipe buffer is
// kept. Inheritable ends come from security->bInheritHandle.
BOOL CreatePipe(HANDLE* read_pipe, HANDLE* write_pipe, const SECURITY_ATTRIBUTES* security,
                DWORD size);

// How many bytes wait in a pipe (*total_available). Only the form without a
// data buffer is offered: `buffer` must be null (ERROR_NOT_SUPPORTED otherwise)
// and *bytes_read is 0. An empty pipe whose every write end is closed fails
// with ERROR_BROKEN_PIPE; anything but a pipe with ERROR_INVALID_FUNCTION.
BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD buffer_size, DWORD* bytes_read,
                   DWORD* total_available, DWORD* bytes_left_this_message);

struct OVERLAPPED;
// One read of at most `size` bytes from a pipe or file (`overlapped` must be
// null). A pipe without data whose write ends are all closed fails with
// ERROR_BROKEN_PIPE; a file at its end gives TRUE with 0 bytes.
BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytes_read, OVERLAPPED* overlapped);

// ---- processes ----

enum : DWORD {
  STILL_ACTIVE = 259,
  PROCESS_TERMINATE = 0x0001,
  PROCESS_QUERY_INFORMATION = 0x0400,
  SYNCHRONIZE = 0x00100000,
  PROCESS_ALL_ACCESS = 0x001FFFFF,
  // Creation flags: a new process group, and a new session without a
  // controlling terminal. Other flags are refused with ERROR_INVALID_PARAMETER,
  // except CREATE_NO_WINDOW, which has nothing to do here.
  DETACHED_PROCESS = 0x00000008,
  CREATE_NEW_PROCESS_GROUP = 0x00000200,
  CREATE_NO_WINDOW = 0x08000000,
  STARTF_USESHOWWINDOW = 0x00000001,
  STARTF_USESTDHANDLES = 0x00000100,
};
enum : WORD { SW_HIDE = 0 };

struct STARTUPINFO {
  DWORD cb;
  char* lpReserved;
  char* lpDesktop;
  char* lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};

// Starts a program. `application` is the program file (no search); when it is
// null the first word of `command_line` names it, searched on PATH when it
// holds no '/'. The command line is split into arguments by the rules of the
// Windows C runtime (blanks, double quotes, backslashes before quotes).
// With STARTF_USESTDHANDLES and `inherit_handles` the child's standard input,
// output and error are the given handles (a null or non-inheritable one gives
// /dev/null); without it the child shares the caller's. `environment` is a
// block of "NAME=value" strings ending with an empty one, or null for the
// caller's. A missing program fails with ERROR_FILE_NOT_FOUND, one that
// cannot be run with ERROR_ACCESS_DENIED or ERROR_BAD_EXE_FORMAT.
BOOL CreateProcess(const char* application, char* command_line,
                   const SECURITY_ATTRIBUTES* process_attributes,
                   const SECURITY_ATTRIBUTES* thread_attributes, BOOL inherit_handles, DWORD flags,
                   void* environment, const char* current_directory, STARTUPINFO* startup_info,
                   PROCESS_INFORMATION* process_information);

// A handle to a running process by its id; an id that names no process fails
// with ERROR_INVALID_PARAMETER. The handle keeps naming that process even when
// its id is reused.
HANDLE OpenProcess(DWORD access, BOOL inherit, DWORD process_id);

// STILL_ACTIVE while the process runs. Afterwards, for a child of this
// process: its exit status (0-255), 128 + the signal when a signal ended it,
// or the code given to TerminateProcess on this handle. For another process
// only whether it has ended is known: its code reads as 0 (or the
// TerminateProcess code).
BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code);

// Ends the process at once (SIGKILL). An ended process gives ERROR_ACCESS_DENIED.
BOOL TerminateProcess(HANDLE process, UINT exit_code);

// ---- the system's process list ----

using NTSTATUS = LONG;
#define NTAPI
enum : NTSTATUS {
  STATUS_SUCCESS = 0,
  STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001),
  STATUS_INVALID_INFO_CLASS = static_cast<NTSTATUS>(0xC0000003),
  STATUS_INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004),
};
enum : ULONG { SystemProcessInformation = 5 };

struct UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  char16_t* Buffer;
};

// One record of the process list. Records follow each other in one buffer;
// NextEntryOffset leads from a record to the next and is 0 on the last. Only
// the fields below the image name carry data on this platform; the image name
// is empty.
struct SYSTEM_PROCESS_INFORMATION {
  ULONG NextEntryOffset;
  ULONG NumberOfThreads;
  BYTE Reserved1[48];
  UNICODE_STRING ImageName;
  LONG BasePriority;
  HANDLE UniqueProcessId;
  HANDLE InheritedFromUniqueProcessId;
};
