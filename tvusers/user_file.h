// User files as libtvusers and tvmigrate both write them: the directory they
// live in, the name rules, the header stamp and the one-block write. Internal
// to the user store: linked into libtvusers and tvmigrate, exported by neither.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/torva.h"
#include "platform/wintypes.h"

namespace tvusers {

inline constexpr size_t kUserDirSize = 1024;
// Directory, separator, name and NUL: a usable name always fits.
inline constexpr size_t kPathSize = kUserDirSize + 1 + sizeof(UserRecord::name);

// A name is used verbatim as a file name inside the user directory. Names
// that would leave that directory or name the directory itself are never
// handed to the file system, and neither is a name too long to be stored in
// a record: such a file could never be read back as that user.
[[nodiscard]] bool NameIsUsable(const char* name);

// dir, the local separator and name; false when it does not fit.
[[nodiscard]] bool UserFilePath(char (&path)[kPathSize], const char* dir, const char* name);

// True when a regular file of that path can be read: whatever it holds, its
// name is taken. Directories and pipes are not user files and are never opened.
[[nodiscard]] bool UserFileExists(const char* path);

// Marks a record as a user file image: the header text and a zero link.
void StampHeader(UserRecord& rec);

// Writes the whole record as one block to a stream opened for writing and
// flushes it, so that a full disk shows here. False when any byte failed.
[[nodiscard]] bool WriteUserRecord(FILE* file, const UserRecord& rec);

}  // namespace tvusers
