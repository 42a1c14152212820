#include "tvusers/tvusers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/strutil.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"
#include "tvusers/scramble_key.h"
#include "tvusers/user_file.h"

namespace {

using torva::kScrambleKey;
using tvusers::kPathSize;
using tvusers::kUserDirSize;
using tvusers::NameIsUsable;
using tvusers::UserFilePath;

constexpr size_t kRecordSize = sizeof(UserRecord);

// The user store lock: keeps the threads of one process from seeing a user
// file that another thread is rewriting. Nothing guards against other processes.
std::mutex g_store_lock;

// ---------------------------------------------------------------------------
// Password scramble. Every step XORs one byte with a key byte and complements
// it; each byte gets eight steps, so the complements cancel and the whole
// transformation is its own inverse. The two directions still run their steps
// in opposite orders, as the files were always written that way.

int32_t NameSum(const char* name) {
  int32_t s = 0;
  for (const char* p = name; *p != '\0'; ++p) s += static_cast<signed char>(*p);
  return s;
}

unsigned char KeyByte(int32_t v) {
  if (v >= 0) return kScrambleKey[v % 256];
  return v % 256 == 0 ? kScrambleKey[0] : 0;
}

void ScrambleStep(unsigned char* field, int32_t s, int k) {
  unsigned char& b = field[k % 32];
  b = static_cast<unsigned char>(~(b ^ KeyByte(s + k)));
}

void Scramble(unsigned char (&field)[32], const char* name) {
  int32_t s = NameSum(name);
  for (int k = 255; k >= 0; --k) ScrambleStep(field, s, k);
}

void Unscramble(unsigned char (&field)[32], const char* name) {
  int32_t s = NameSum(name);
  for (int k = 0; k <= 255; ++k) ScrambleStep(field, s, k);
}

// ---------------------------------------------------------------------------

enum class Access { kRead, kWrite };

// Reads "UserDir" of the installation settings key into dir (kUserDirSize
// bytes); only a REG_SZ value counts. The operations that change user files
// open the key with full access and create it when absent, as the
// administration programs open it, so a process that cannot write the
// settings store changes nothing. The operations that only read open it for
// reading and never create it: the server, run by an unprivileged account,
// and the listing command work from a store they may only read.
bool GetUserDir(char (&dir)[kUserDirSize], Access access) {
  UniqueRegKey key;
  if (RegOpenInstallKey(access == Access::kWrite ? KEY_ALL_ACCESS : KEY_READ, key.Receive()) !=
      ERROR_SUCCESS)
    return false;
  DWORD type = REG_NONE;
  if (RegQueryString(key.Get(), torva::kValueUserDir, dir, &type) != ERROR_SUCCESS) return false;
  // An empty directory would put user files at the root of the file system.
  return type == REG_SZ && dir[0] != '\0';
}

// Reads the user file of `name` from `dir` into rec. Returns 0, or the error
// code: 202 when the file is absent, unreadable, short or not that user's.
int32_t ReadUserFile(const char* dir, const char* name, UserRecord* rec) {
  char path[kPathSize];
  if (!NameIsUsable(name) || !UserFilePath(path, dir, name)) return TVUSERS_ERR_NO_SUCH_USER;
  // Only regular files: a directory or a pipe under a user's name is not a
  // user file, and opening a pipe for reading would block the caller.
  UniqueFile file(OpenRegularFile(path, "rb"));
  if (!file) return TVUSERS_ERR_NO_SUCH_USER;
  memset(rec, 0, sizeof *rec);
  if (fread(rec, 1, kRecordSize, file.Get()) != kRecordSize) return TVUSERS_ERR_NO_SUCH_USER;
  file.Reset();
  rec->header[sizeof rec->header - 1] = '\0';
  rec->name[sizeof rec->name - 1] = '\0';
  rec->usrdir[sizeof rec->usrdir - 1] = '\0';
  rec->link = 0;
  if (strcmp(rec->header, TVUSERS_HEADER_TEXT) != 0 || strcmp(rec->name, name) != 0) {
    return TVUSERS_ERR_NO_SUCH_USER;
  }
  return 0;
}

// Writes the whole record as one block to a file already opened for writing
// and closes it. Returns 0 or 101.
int32_t WriteRecord(UniqueFile& file, const UserRecord& rec) {
  bool ok = tvusers::WriteUserRecord(file.Get(), rec);
  ok = CloseFile(file) && ok;
  return ok ? 0 : TVUSERS_ERR_SYSTEM;
}

// Sharing of user files: others may read and write them as before; what
// changes is who may open them at all.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Creates a user file that must not exist yet. Returns 0, 101, or 201 when a
// file of that name was created meanwhile by another process.
int32_t CreateUserFile(const char* path, UniqueFile& file) {
  // "x": never truncate what another process created since our check. The
  // password scramble can be undone by anyone who reads the file, so only
  // its owner may.
  file.Reset(OpenRegularFileEx(path, "wbx", kShareAll, OwnerOnlySecurity()));
  if (file) return 0;
  if (GetLastError() == ERROR_FILE_EXISTS && tvusers::UserFileExists(path))
    return TVUSERS_ERR_USER_EXISTS;
  return TVUSERS_ERR_SYSTEM;
}

// The user list keeps its records as separate zero-filled allocations.
TvUserList* NewList() { return static_cast<TvUserList*>(calloc(1, sizeof(TvUserList))); }

void FreeList(TvUserList* list) {
  if (list == nullptr) return;
  TvUserNode* node = list->head;
  while (node != nullptr) {
    TvUserNode* next = node->next;
    free(node);
    node = next;
  }
  free(list);
}

int Fail(int32_t* err, int32_t code) {
  *err = code;
  return -1;
}

}  // namespace

TVUSERS_API int tvusers_add(int32_t* err, const char* name, const char* passwd, const char* usrdir,
                            int32_t admin, int32_t vfsize, int32_t vinum, int32_t maxfs) {
  std::lock_guard<std::mutex> lock(g_store_lock);
  char dir[kUserDirSize];
  if (!GetUserDir(dir, Access::kWrite)) return Fail(err, TVUSERS_ERR_SYSTEM);
  char path[kPathSize];
  if (!NameIsUsable(name) || !UserFilePath(path, dir, name)) return Fail(err, TVUSERS_ERR_SYSTEM);

  // Whatever the existing file holds, it keeps its name.
  if (tvusers::UserFileExists(path)) return Fail(err, TVUSERS_ERR_USER_EXISTS);

  UserRecord rec;
  memset(&rec, 0, sizeof rec);
  tvusers::StampHeader(rec);
  torva::CopyTruncated(rec.name, name);
  // The password buffer is zero-padded by contract; copying only up to its
  // terminator gives the same field and never reads past a shorter buffer.
  memcpy(rec.passwd, passwd, strnlen(passwd, sizeof rec.passwd));
  Scramble(rec.passwd, name);
  torva::CopyTruncated(rec.usrdir, usrdir);
  rec.admin = admin;
  rec.vfsize = vfsize;
  rec.vinum = vinum;
  rec.maxfs = maxfs;

  UniqueFile file;
  if (int32_t code = CreateUserFile(path, file); code != 0) return Fail(err, code);
  // A failed write leaves the file behind; it reads as no user and keeps the
  // name taken until an administrator removes it.
  if (int32_t code = WriteRecord(file, rec); code != 0) return Fail(err, code);
  return 0;
}

TVUSERS_API int tvusers_del(int32_t* err, const char* name) {
  std::lock_guard<std::mutex> lock(g_store_lock);
  char dir[kUserDirSize];
  if (!GetUserDir(dir, Access::kWrite)) return Fail(err, TVUSERS_ERR_SYSTEM);
  // Only a valid user file of exactly this name is ever removed.
  UserRecord rec;
  if (int32_t code = ReadUserFile(dir, name, &rec); code != 0) return Fail(err, code);
  char path[kPathSize];
  if (!UserFilePath(path, dir, name) || !DeleteFile(path)) {
    return Fail(err, TVUSERS_ERR_CANNOT_DELETE);
  }
  return 0;
}

TVUSERS_API TvUserList* tvusers_list(int32_t* err) {
  std::lock_guard<std::mutex> lock(g_store_lock);
  char dir[kUserDirSize];
  if (!GetUserDir(dir, Access::kRead)) {
    *err = TVUSERS_ERR_SYSTEM;
    return nullptr;
  }
  TvUserList* list = NewList();
  if (list == nullptr) {
    *err = TVUSERS_ERR_NO_MEMORY;
    return nullptr;
  }
  char pattern[kUserDirSize + 2];
  if (!torva::FormatInto(pattern, "%s%c*", dir, torva::kPathSep)) {
    FreeList(list);
    *err = TVUSERS_ERR_SYSTEM;
    return nullptr;
  }
  WIN32_FIND_DATA found;
  UniqueFind search(FindFirstFile(pattern, &found));
  if (!search) {
    // A search that matches nothing is an empty directory, not a failure.
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return list;
    FreeList(list);
    *err = TVUSERS_ERR_SYSTEM;
    return nullptr;
  }
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    UserRecord rec;
    // Anything that is not the valid user file of its own name is not listed;
    // the reason still lands in *err, which a successful list leaves undefined.
    if (int32_t code = ReadUserFile(dir, found.cFileName, &rec); code != 0) {
      *err = code;
      continue;
    }
    Unscramble(rec.passwd, rec.name);
    auto* node = static_cast<TvUserNode*>(calloc(1, sizeof(TvUserNode)));
    if (node == nullptr) {
      FreeList(list);
      *err = TVUSERS_ERR_NO_MEMORY;
      return nullptr;
    }
    node->rec = rec;
    if (list->tail == nullptr) {
      list->head = node;
      list->count = 1;  // tells empty from non-empty, nothing more
    } else {
      list->tail->next = node;
    }
    list->tail = node;
  } while (FindNextFile(search.Get(), &found));
  return list;
}

TVUSERS_API void tvusers_list_free(TvUserList* list) { FreeList(list); }

TVUSERS_API int tvusers_session(int32_t* err, const char* name, const char* passwd,
                                char* usrdir_out) {
  UserRecord rec;
  {
    std::lock_guard<std::mutex> lock(g_store_lock);
    char dir[kUserDirSize];
    if (!GetUserDir(dir, Access::kRead)) return Fail(err, TVUSERS_ERR_SYSTEM);
    if (int32_t code = ReadUserFile(dir, name, &rec); code != 0) return Fail(err, code);
    Unscramble(rec.passwd, name);
    // At most 31 stored bytes count, so a longer password never matches.
    rec.passwd[sizeof rec.passwd - 1] = '\0';
  }
  if (strcmp(reinterpret_cast<const char*>(rec.passwd), passwd) != 0) {
    return Fail(err, TVUSERS_ERR_WRONG_PASSWORD);
  }
  memcpy(usrdir_out, rec.usrdir, strlen(rec.usrdir) + 1);
  return 0;
}

TVUSERS_API int tvusers_is_writable(int32_t* err, const char* name) {
  UserRecord rec;
  {
    std::lock_guard<std::mutex> lock(g_store_lock);
    char dir[kUserDirSize];
    if (!GetUserDir(dir, Access::kRead)) {
      *err = TVUSERS_ERR_SYSTEM;
      return 0;
    }
    if (int32_t code = ReadUserFile(dir, name, &rec); code != 0) {
      *err = code;
      return 0;
    }
  }
  // Only 1 means read-only; every other value lets the user write.
  return rec.admin == 1 ? 0 : 1;
}

TVUSERS_API int tvusers_mod(int32_t* err, const char* name, const char* passwd, const char* usrdir,
                            const int32_t* admin, const int32_t* vfsize, const int32_t* vinum,
                            const int32_t* maxfs) {
  std::lock_guard<std::mutex> lock(g_store_lock);
  // The directory looked up here is the one written back to: a user file is
  // never created in a directory that did not already hold that user.
  char dir[kUserDirSize];
  if (!GetUserDir(dir, Access::kWrite)) return Fail(err, TVUSERS_ERR_SYSTEM);
  UserRecord rec;
  if (int32_t code = ReadUserFile(dir, name, &rec); code != 0) return Fail(err, code);

  if (passwd != nullptr) {
    // Clear the field first: the tail of the old scrambled field would
    // otherwise be scrambled a second time, which writes the old password's
    // bytes in plain text after the new terminator.
    memset(rec.passwd, 0, sizeof rec.passwd);
    torva::CopyTruncated(reinterpret_cast<char*>(rec.passwd), sizeof rec.passwd, passwd);
    Scramble(rec.passwd, name);
  }
  if (usrdir != nullptr) torva::CopyTruncated(rec.usrdir, usrdir);
  if (admin != nullptr) rec.admin = *admin;
  if (vfsize != nullptr) rec.vfsize = *vfsize;
  if (vinum != nullptr) rec.vinum = *vinum;
  if (maxfs != nullptr) rec.maxfs = *maxfs;

  char path[kPathSize];
  if (!UserFilePath(path, dir, name)) return Fail(err, TVUSERS_ERR_SYSTEM);
  // Rewritten for its owner alone, which also closes a file that an older
  // version left readable by everybody.
  UniqueFile file(OpenRegularFileEx(path, "wb", kShareAll, OwnerOnlySecurity()));
  if (!file) return Fail(err, TVUSERS_ERR_SYSTEM);
  if (int32_t code = WriteRecord(file, rec); code != 0) return Fail(err, code);
  return 0;
}

TVUSERS_API int tvusers_read(int32_t* err, const char* name, UserRecord* rec) {
  char dir[kUserDirSize];
  if (!GetUserDir(dir, Access::kRead)) return Fail(err, TVUSERS_ERR_SYSTEM);
  if (int32_t code = ReadUserFile(dir, name, rec); code != 0) return Fail(err, code);
  return 0;
}

TVUSERS_API int tvusers_read2(int32_t* err, const char* name, UserRecord* rec) {
  if (tvusers_read(err, name, rec) != 0) return -1;
  Unscramble(rec->passwd, rec->name);
  return 0;
}
