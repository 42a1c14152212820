// Files and directories in the Win32 shape.
//
// Attributes on this platform: FILE_ATTRIBUTE_DIRECTORY from the mode,
// FILE_ATTRIBUTE_READONLY when the owner-write bit is clear, FILE_ATTRIBUTE_HIDDEN
// when the name starts with '.' (not "." and ".."); every other entry carries
// FILE_ATTRIBUTE_ARCHIVE, as files on Windows usually do.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/api/fs.h"
#include "platform/wintypes.h"

// Directory search. The pattern is a directory, '/', and a name pattern with
// '*' and '?' ("dir/*", "dir/*.dca"), passed to FindFirstFile. Entries "." and
// ".." come back like any other. Nothing matching: INVALID_HANDLE_VALUE with
// ERROR_FILE_NOT_FOUND; a missing directory: ERROR_PATH_NOT_FOUND.
//
// FindFirstFileNames is the same search for listings that show names only: of each entry only the
// name and the FILE_ATTRIBUTE_DIRECTORY and FILE_ATTRIBUTE_HIDDEN bits are
// certain; the other attributes, times and sizes may be left zero. Where the
// directory itself records the entry's type no per-entry look-up is made.
// Continued with FindNextFile, ended with FindClose.
[[nodiscard]] HANDLE FindFirstFileNames(const char* pattern, WIN32_FIND_DATA* data);

// 1 for a regular file, 0 for anything else that exists (directory, device,
// pipe, socket), -1 with the last error when it does not exist.
[[nodiscard]] int IsRegularFile(const char* path);

// Where a call takes `security`, null gives the object the default access and
// OwnerOnlySecurity() admits its owner alone (mode 0700 for a directory, 0600
// for a file on this platform).
[[nodiscard]] SECURITY_ATTRIBUTES* OwnerOnlySecurity();

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

// A file time in local time.
[[nodiscard]] BOOL FileTimeToLocalSystemTime(const FILETIME* ft, SYSTEMTIME* out);

// 1 when `path`, with every link on its way and at its end followed, lies in
// the directory `root` (root itself included); 0 when it leads elsewhere; -1
// with the last error when it cannot be told (a loop of links, no access to a
// directory on the way). Components that do not exist, and the missing target
// of a link, are taken as they are written.
[[nodiscard]] int PathIsInside(const char* root, const char* path);

// Creates every missing directory of a path (used by administration tools).
[[nodiscard]] BOOL CreateDirectoryTree(const char* path);
