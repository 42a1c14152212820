// Threads, events, waits, console control signals, process exit and system
// information in the Win32 shape, for a system without the Windows headers.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

// Threads. A thread created with CREATE_SUSPENDED waits behind a gate until
// ResumeThread; its identifier (the kernel thread id) is known at creation.
using LPTHREAD_START_ROUTINE = DWORD (*)(void* arg);
enum : DWORD { CREATE_SUSPENDED = 0x4 };
[[nodiscard]] HANDLE CreateThread(const void* security, size_t stack_size,
                                  LPTHREAD_START_ROUTINE start, void* arg, DWORD flags,
                                  DWORD* thread_id);
// Previous suspend count, or (DWORD)-1.
[[nodiscard]] DWORD ResumeThread(HANDLE thread);
// For tests of the failure paths (this platform only): the next `count` calls
// of ResumeThread in this process fail with `error` and leave their threads
// suspended.
void FailNextResumeThread(int count, DWORD error);
// A suspended thread is ended without running. A running thread cannot be ended
// safely here; it is left to the end of the process, which follows at once in
// every caller of this system.
BOOL TerminateThread(HANDLE thread, DWORD exit_code);
[[nodiscard]] DWORD GetCurrentThreadId();
[[nodiscard]] DWORD GetCurrentProcessId();
void Sleep(DWORD milliseconds);

// Pseudo-handles of the calling thread and process, valid only in the caller;
// DuplicateHandle turns the thread's into a real handle that other threads
// can wait on.
HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
enum : DWORD { DUPLICATE_CLOSE_SOURCE = 0x1, DUPLICATE_SAME_ACCESS = 0x2 };
// Both process handles must be GetCurrentProcess(): handles stay in this process.
BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target,
                     DWORD access, BOOL inherit, DWORD options);

// Unnamed events (a name gives ERROR_NOT_SUPPORTED). A manual-reset event stays
// signalled until ResetEvent; an automatic one releases one wait and resets.
// SetEvent on a handle that has been closed fails with ERROR_INVALID_HANDLE,
// so a control handler may race the close of the event it signals.
HANDLE CreateEvent(const SECURITY_ATTRIBUTES* security, BOOL manual_reset, BOOL initial_state,
                   const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits on events and threads (a thread is signalled once it has ended).
enum : DWORD {
  INFINITE = 0xFFFFFFFF,
  WAIT_OBJECT_0 = 0,
  WAIT_TIMEOUT = 258,
  WAIT_FAILED = 0xFFFFFFFF,
  MAXIMUM_WAIT_OBJECTS = 64,
};
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);

// Replaces every %NAME% of `src` that names an environment variable by its
// value; other text stays. Returns the characters needed with the NUL; `dst`
// holds the whole result only when that is at most `size`.
DWORD ExpandEnvironmentStrings(const char* src, char* dst, DWORD size);

// Console control events. Signals are taken on one thread of their own and
// handed to the installed handlers, last installed first, until one returns TRUE.
// SIGINT = CTRL_C_EVENT, SIGQUIT = CTRL_BREAK_EVENT, SIGHUP = CTRL_CLOSE_EVENT,
// SIGTERM = CTRL_SHUTDOWN_EVENT.
enum : DWORD {
  CTRL_C_EVENT = 0,
  CTRL_BREAK_EVENT = 1,
  CTRL_CLOSE_EVENT = 2,
  CTRL_LOGOFF_EVENT = 5,
  CTRL_SHUTDOWN_EVENT = 6,
};
using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrl_type);
[[nodiscard]] BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Flushes the standard streams and ends the process at once; no other thread
// is waited for.
[[noreturn]] void ExitProcess(UINT exit_code);

// Operating system version: the kernel release split into major, minor and
// build, platform id 2 and the kernel version text as the CSD version. The
// caller states in dwOSVersionInfoSize which of the two records it passes.
struct OSVERSIONINFO {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
};
struct OSVERSIONINFOEX {
  DWORD dwOSVersionInfoSize;
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;
  char szCSDVersion[128];
  WORD wServicePackMajor;
  WORD wServicePackMinor;
  WORD wSuiteMask;
  BYTE wProductType;
  BYTE wReserved;
};
// FALSE with ERROR_INVALID_PARAMETER when dwOSVersionInfoSize names neither.
[[nodiscard]] BOOL GetVersionEx(OSVERSIONINFO* info);

// English country name of the user's locale (territory of LC_ALL, LC_CTYPE or
// LANG: ja_JP gives "Japan"). Returns the characters written with the NUL, or 0
// with the last error when no locale is set or the territory is unknown.
using LCID = DWORD;
using LCTYPE = DWORD;
enum : DWORD { LOCALE_USER_DEFAULT = 0x400, LOCALE_SENGCOUNTRY = 0x1002 };
[[nodiscard]] int GetLocaleInfo(LCID locale, LCTYPE type, char* data, int size);
