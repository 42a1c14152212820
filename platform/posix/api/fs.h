// The file and directory calls that Windows defines, for a system without the
// Windows headers (see platform/fs.h for what this platform's attributes mean).
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/wintypes.h"

enum : DWORD {
  FILE_ATTRIBUTE_READONLY = 0x1,
  FILE_ATTRIBUTE_HIDDEN = 0x2,
  FILE_ATTRIBUTE_SYSTEM = 0x4,
  FILE_ATTRIBUTE_DIRECTORY = 0x10,
  FILE_ATTRIBUTE_ARCHIVE = 0x20,
  FILE_ATTRIBUTE_NORMAL = 0x80,
  INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF,
};

enum : DWORD { MAX_PATH = 260 };

struct FILETIME {
  DWORD dwLowDateTime;  // 100-ns intervals since 1601-01-01 UTC
  DWORD dwHighDateTime;
};

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

struct WIN32_FIND_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  char cFileName[MAX_PATH];
};

struct WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
};

// Directory search. The pattern is a directory, '/', and a name pattern with
// '*' and '?' ("dir/*", "dir/*.dca"). Entries "." and ".." come back like any
// other. Nothing matching: INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND; a
// missing directory: ERROR_PATH_NOT_FOUND.
[[nodiscard]] HANDLE FindFirstFile(const char* pattern, WIN32_FIND_DATA* data);
// FALSE with ERROR_NO_MORE_FILES (18) at the end.
[[nodiscard]] BOOL FindNextFile(HANDLE search, WIN32_FIND_DATA* data);
BOOL FindClose(HANDLE search);
enum : DWORD { ERROR_NO_MORE_FILES = 18 };

// INVALID_FILE_ATTRIBUTES with the last error when the path does not exist.
[[nodiscard]] DWORD GetFileAttributes(const char* path);
// Only the standard level is offered (the attribute record above).
enum GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard };
[[nodiscard]] BOOL GetFileAttributesEx(const char* path, GET_FILEEX_INFO_LEVELS level,
                                       WIN32_FILE_ATTRIBUTE_DATA* data);

[[nodiscard]] BOOL CreateDirectory(const char* path, const void* security);
[[nodiscard]] BOOL RemoveDirectory(const char* path);
// Fails with ERROR_SHARING_VIOLATION while another process holds the file open
// without sharing (see CreateFile).
[[nodiscard]] BOOL DeleteFile(const char* path);
// Renames a file or directory; fails with ERROR_ALREADY_EXISTS when the target exists.
[[nodiscard]] BOOL MoveFile(const char* from, const char* to);

// CreateFile for holding a file: share mode 0 takes the file exclusively, so
// DeleteFile and other exclusive opens fail with ERROR_SHARING_VIOLATION until
// the handle is closed (CloseHandle) or the process ends.
enum : DWORD {
  GENERIC_READ = 0x80000000,
  FILE_WRITE_ATTRIBUTES = 0x100,
  GENERIC_WRITE = 0x40000000,
  FILE_SHARE_READ = 0x1,
  FILE_SHARE_WRITE = 0x2,
  FILE_SHARE_DELETE = 0x4,
  CREATE_NEW = 1,
  CREATE_ALWAYS = 2,
  OPEN_EXISTING = 3,
  OPEN_ALWAYS = 4,
  TRUNCATE_EXISTING = 5,
};
[[nodiscard]] HANDLE CreateFile(const char* path, DWORD access, DWORD share, const void* security,
                                DWORD disposition, DWORD flags, HANDLE tmpl);
// Writes the whole buffer to a file from CreateFile (or a pipe) at its current
// position. `written` (may be null) gets the bytes written; FALSE with the
// last error. ReadFile is in platform/process.h.
[[nodiscard]] BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written,
                             void* overlapped);

// Sets the times of a file opened with CreateFile (FILE_WRITE_ATTRIBUTES or
// GENERIC_WRITE access); a null time is left as it is.
[[nodiscard]] BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                               const FILETIME* write);

// Current local time.
void GetLocalTime(SYSTEMTIME* out);
// A file time as UTC calendar time and back (Gregorian calendar, UTC).
// SystemTimeToFileTime refuses fields out of range (month 13, day 32, ...)
// with ERROR_INVALID_PARAMETER.
[[nodiscard]] BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* out);
[[nodiscard]] BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* out);

// TRUE when a path does not start at a root (on this platform: no leading '/').
[[nodiscard]] BOOL PathIsRelative(const char* path);
// TRUE when a path names the root of the file system: "/", "//", "/.", "/a/..".
[[nodiscard]] BOOL PathIsRoot(const char* path);
