// Files and directories in the Win32 shape.
//
// Attributes on this platform: FILE_ATTRIBUTE_DIRECTORY from the mode,
// FILE_ATTRIBUTE_READONLY when the owner-write bit is clear, FILE_ATTRIBUTE_HIDDEN
// when the name starts with '.' (not "." and ".."); every other entry carries
// FILE_ATTRIBUTE_ARCHIVE, as files on Windows usually do.
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
// The same search for listings that show names only: of each entry only the
// name and the FILE_ATTRIBUTE_DIRECTORY and FILE_ATTRIBUTE_HIDDEN bits are
// certain; the other attributes, times and sizes may be left zero. Where the
// directory itself records the entry's type no per-entry look-up is made.
// Continued with FindNextFile, ended with FindClose.
[[nodiscard]] HANDLE FindFirstFileNames(const char* pattern, WIN32_FIND_DATA* data);
// FALSE with ERROR_NO_MORE_FILES (18) at the end.
[[nodiscard]] BOOL FindNextFile(HANDLE search, WIN32_FIND_DATA* data);
BOOL FindClose(HANDLE search);
enum : DWORD { ERROR_NO_MORE_FILES = 18 };

// INVALID_FILE_ATTRIBUTES with the last error when the path does not exist.
[[nodiscard]] DWORD GetFileAttributes(const char* path);
[[nodiscard]] BOOL GetFileAttributesEx(const char* path, WIN32_FILE_ATTRIBUTE_DATA* data);

// 1 for a regular file, 0 for anything else that exists (directory, device,
// pipe, socket), -1 with the last error when it does not exist.
[[nodiscard]] int IsRegularFile(const char* path);

// Where a call takes `security`, null gives the object the default access and
// OwnerOnlySecurity() admits its owner alone (mode 0700 for a directory, 0600
// for a file on this platform).
[[nodiscard]] const SECURITY_ATTRIBUTES* OwnerOnlySecurity();

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

// Opens a regular file as a stream with an fopen mode ("rb", "ab", ...). Anything
// that is not a regular file is refused with ERROR_ACCESS_DENIED without blocking
// (a FIFO is never waited on). Missing file: ERROR_FILE_NOT_FOUND. An 'x' in a
// "w" mode creates the file only when no entry of that name exists (in one
// step, so two creators never share a file); otherwise ERROR_FILE_EXISTS.
[[nodiscard]] FILE* OpenRegularFile(const char* path, const char* mode);
// The same with a share mode and security. The mode may hold 'x': fail with
// ERROR_FILE_EXISTS when the file exists. Without FILE_SHARE_WRITE in `share`
// the stream holds the file exclusively until it is closed: a second such
// open, DeleteFile and exclusive CreateFile fail with ERROR_SHARING_VIOLATION
// (in this process too), and a "w" open empties the file only once it holds it.
// OwnerOnlySecurity() creates the file for its owner alone and takes the access
// of others away from an existing file opened for writing; a file the
// administrator creates that way in a directory of another account belongs to
// that account, as new files inherit their folder's access on Windows.
[[nodiscard]] FILE* OpenRegularFileEx(const char* path, const char* mode, DWORD share,
                                      const SECURITY_ATTRIBUTES* security);
// Size of an open stream's file; -1 on failure.
[[nodiscard]] int64_t FileStreamSize(FILE* stream);
// Empties the file behind a stream (flushes first). FALSE with the last error.
[[nodiscard]] BOOL FileStreamTruncate(FILE* stream);
// Cuts or extends the file behind a stream to `size` bytes (flushes first)
// and moves the stream there. FALSE with the last error.
[[nodiscard]] BOOL FileStreamSetSize(FILE* stream, int64_t size);
// Moves a stream to a byte offset from the start of its file (64-bit
// offsets on every platform). FALSE with the last error.
[[nodiscard]] BOOL FileStreamSeek(FILE* stream, int64_t offset);

// Current local time, and a file time in local time.
void GetLocalTime(SYSTEMTIME* out);
[[nodiscard]] BOOL FileTimeToLocalSystemTime(const FILETIME* ft, SYSTEMTIME* out);
// A file time as UTC calendar time and back (Gregorian calendar, UTC).
// SystemTimeToFileTime refuses fields out of range (month 13, day 32, ...)
// with ERROR_INVALID_PARAMETER.
[[nodiscard]] BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* out);
[[nodiscard]] BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* out);

// TRUE when a path does not start at a root (on this platform: no leading '/').
[[nodiscard]] BOOL PathIsRelative(const char* path);
// TRUE when a path names the root of the file system: "/", "//", "/.", "/a/..".
[[nodiscard]] BOOL PathIsRoot(const char* path);
// 1 when `path`, with every link on its way and at its end followed, lies in
// the directory `root` (root itself included); 0 when it leads elsewhere; -1
// with the last error when it cannot be told (a loop of links, no access to a
// directory on the way). Components that do not exist, and the missing target
// of a link, are taken as they are written.
[[nodiscard]] int PathIsInside(const char* root, const char* path);

// Creates every missing directory of a path (used by administration tools).
[[nodiscard]] BOOL CreateDirectoryTree(const char* path);
