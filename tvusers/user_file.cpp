#include "tvusers/user_file.h"

#include <bit>
#include <cstring>

#include "common/strutil.h"
#include "platform/fs.h"
#include "platform/unique_handle.h"

// A user file is the raw image of UserRecord; its integers are little-endian,
// so the image can only be written as it lies in memory on such a machine.
static_assert(std::endian::native == std::endian::little,
              "user files are written as little-endian memory images");
static_assert(sizeof(TVUSERS_HEADER_TEXT) == 26, "header text is 25 characters and its NUL");

namespace tvusers {

bool NameIsUsable(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  if (strnlen(name, torva::kMaxUserName + 1) > torva::kMaxUserName) return false;
  return strchr(name, '/') == nullptr && strchr(name, '\\') == nullptr;
}

bool UserFilePath(char (&path)[kPathSize], const char* dir, const char* name) {
  return torva::FormatInto(path, "%s%c%s", dir, torva::kPathSep, name);
}

bool UserFileExists(const char* path) { return UniqueFile(OpenRegularFile(path, "rb")).Valid(); }

void StampHeader(UserRecord& rec) {
  memset(rec.header, 0, sizeof rec.header);
  memcpy(rec.header, TVUSERS_HEADER_TEXT, sizeof TVUSERS_HEADER_TEXT);
  rec.link = 0;
}

bool WriteUserRecord(FILE* file, const UserRecord& rec) {
  return fwrite(&rec, 1, sizeof rec, file) == sizeof rec && fflush(file) == 0;
}

}  // namespace tvusers
