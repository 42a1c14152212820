// The names of the Windows vocabulary (integer types, handles, error numbers,
// the per-thread last error) for a system without the Windows headers.
#pragma once

#include <cstdint>

using DWORD = uint32_t;
using LONG = int32_t;
using BYTE = unsigned char;
using BOOL = int;
using WORD = uint16_t;
using UINT = unsigned int;
using ULONG = uint32_t;
using USHORT = uint16_t;
using DWORD_PTR = uintptr_t;

// Calling convention of routines that the system calls back (service main,
// control handlers); the default one on this platform.
#ifndef WINAPI
#define WINAPI
#endif

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Windows error numbers used by the system.
enum : DWORD {
  ERROR_SUCCESS = 0,
  ERROR_INVALID_FUNCTION = 1,
  ERROR_FILE_NOT_FOUND = 2,
  ERROR_PATH_NOT_FOUND = 3,
  ERROR_TOO_MANY_OPEN_FILES = 4,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_NOT_ENOUGH_MEMORY = 8,
  ERROR_INVALID_DATA = 13,
  ERROR_NOT_SAME_DEVICE = 17,
  ERROR_WRITE_PROTECT = 19,
  ERROR_SHARING_VIOLATION = 32,
  ERROR_HANDLE_EOF = 38,
  ERROR_NOT_SUPPORTED = 50,
  ERROR_FILE_EXISTS = 80,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_BROKEN_PIPE = 109,
  ERROR_DISK_FULL = 112,
  ERROR_INSUFFICIENT_BUFFER = 122,
  ERROR_INVALID_NAME = 123,
  ERROR_DIR_NOT_EMPTY = 145,
  ERROR_BAD_PATHNAME = 161,
  ERROR_BUSY = 170,
  ERROR_ALREADY_EXISTS = 183,
  ERROR_FILENAME_EXCED_RANGE = 206,
  ERROR_MORE_DATA = 234,
  ERROR_NO_MORE_ITEMS = 259,
  ERROR_DIRECTORY = 267,
  ERROR_NOT_A_REPARSE_POINT = 4390,
  ERROR_CANTOPEN = 1011,
  ERROR_CANTREAD = 1012,
  ERROR_CANTWRITE = 1013,
  ERROR_SERVICE_NOT_ACTIVE = 1062,
  ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063,
  ERROR_IO_DEVICE = 1117,
  ERROR_NONE_MAPPED = 1332,
};

// Error numbers of processes, modules, messages and services.
enum : DWORD {
  ERROR_BAD_LENGTH = 24,
  ERROR_MOD_NOT_FOUND = 126,
  ERROR_PROC_NOT_FOUND = 127,
  ERROR_BAD_EXE_FORMAT = 193,
  ERROR_NO_DATA = 232,
  ERROR_MR_MID_NOT_FOUND = 317,
  ERROR_INVALID_SERVICE_CONTROL = 1052,
  ERROR_SERVICE_REQUEST_TIMEOUT = 1053,
  ERROR_SERVICE_ALREADY_RUNNING = 1056,
  ERROR_SERVICE_DISABLED = 1058,
  ERROR_SERVICE_DOES_NOT_EXIST = 1060,
  ERROR_SERVICE_CANNOT_ACCEPT_CTRL = 1061,
  ERROR_PROCESS_ABORTED = 1067,
  ERROR_SERVICE_MARKED_FOR_DELETE = 1072,
  ERROR_SERVICE_EXISTS = 1073,
  ERROR_RESOURCE_DATA_NOT_FOUND = 1812,
  ERROR_RESOURCE_TYPE_NOT_FOUND = 1813,
  RPC_S_SERVER_UNAVAILABLE = 1722,
};

[[nodiscard]] DWORD GetLastError();
void SetLastError(DWORD code);

// Kernel objects (threads, files, directory searches) share one handle type.
using HANDLE = void*;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

// Security attributes of a new object (events, pipes, processes, files and
// directories); see the call that takes them for what this platform honours.
struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  void* lpSecurityDescriptor;
  BOOL bInheritHandle;
};

// Releases a thread or file handle.
BOOL CloseHandle(HANDLE handle);
