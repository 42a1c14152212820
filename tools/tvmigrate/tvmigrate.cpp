// tvmigrate: moves the users of the legacy registry store (subkey "passwd" of
// the installation settings key, one subkey per user) into user files. Each
// user's subkey is deleted once its file is written; users whose file exists
// already are left alone, so the command can be run again.
#include <cstdio>
#include <cstring>
#include <new>

#include "common/program_info.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
#include "platform/registry.h"

namespace {

constexpr int kExitFailure = 255;

constexpr torva::ProgramInfo kInfo = {
    "tvmigrate", "usage:\n> tvmigrate\n",
    "Moves the users of an old installation, kept under the registry subkey\n"
    "\"passwd\" of the installation settings key, into user files in UserDir.\n"
    "Users whose file exists already are left alone; each migrated user's\n"
    "subkey is deleted. Exit codes: 0, 255 registry or memory failure.\n",
    8};

// The legacy users in the order the registry enumerates them.
struct LegacyUser {
  UserRecord rec;
  LegacyUser* next;
};

struct LegacyList {
  LegacyUser* head = nullptr;
  LegacyUser* tail = nullptr;
  LegacyList() = default;
  LegacyList(const LegacyList&) = delete;
  LegacyList& operator=(const LegacyList&) = delete;
  ~LegacyList() {
    while (head != nullptr) {
      LegacyUser* n = head->next;
      delete head;
      head = n;
    }
  }
  void Append(LegacyUser* u) {
    if (tail != nullptr)
      tail->next = u;
    else
      head = u;
    tail = u;
  }
};

// Reads one value into a record field. Types are not checked: the bytes are
// taken as they are stored, so a REG_DWORD's little-endian bytes land in the
// file unchanged. A value that is missing or does not fit leaves the field zero.
void ReadField(HKEY key, const char* name, void* field, DWORD size) {
  DWORD len = size;
  if (RegQueryValueEx(key, name, nullptr, nullptr, static_cast<BYTE*>(field), &len) !=
      ERROR_SUCCESS)
    memset(field, 0, size);
}

void ReadLegacyUser(HKEY store, UserRecord& rec) {
  HKEY user = nullptr;
  if (RegOpenKeyEx(store, rec.name, 0, KEY_ALL_ACCESS, &user) != ERROR_SUCCESS) return;
  ReadField(user, "passwd", rec.passwd, sizeof rec.passwd);
  ReadField(user, "usrdir", rec.usrdir, sizeof rec.usrdir);
  ReadField(user, "admin", &rec.admin, sizeof rec.admin);
  ReadField(user, "vfsize", &rec.vfsize, sizeof rec.vfsize);
  ReadField(user, "vinum", &rec.vinum, sizeof rec.vinum);
  ReadField(user, "maxfs", &rec.maxfs, sizeof rec.maxfs);
  RegCloseKey(user);
  rec.usrdir[sizeof rec.usrdir - 1] = '\0';
}

// Collects every subkey whose name fits the 32-byte name field; longer names
// (and any other enumeration failure) are passed over and stay in the store.
bool BuildList(HKEY store, LegacyList& list) {
  LegacyUser* cur = nullptr;
  for (DWORD index = 0;; ++index) {
    if (cur == nullptr) {
      cur = new (std::nothrow) LegacyUser{};
      if (cur == nullptr) return false;
    }
    memset(cur->rec.name, 0, sizeof cur->rec.name);
    DWORD len = sizeof cur->rec.name;
    LONG rc = RegEnumKeyEx(store, index, cur->rec.name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) continue;
    ReadLegacyUser(store, cur->rec);
    list.Append(cur);
    cur = nullptr;
  }
  delete cur;
  return true;
}

// A registry key name may hold characters that a file name must not: a name
// that would leave the user directory or name the directory itself is never
// used as a path.
bool UsableAsFileName(const char* name) {
  return name[0] != '\0' && strchr(name, '/') == nullptr && strchr(name, '\\') == nullptr &&
         strcmp(name, ".") != 0 && strcmp(name, "..") != 0;
}

// Reads "UserDir" into dir[1024]; on failure writes the message and returns false.
bool ReadUserDir(char (&dir)[1024]) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, torva::kSettingsKey, 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot open registory #2. (%d)\n", static_cast<int>(rc));
    return false;
  }
  DWORD type = REG_NONE;
  DWORD len = sizeof dir;
  rc = RegQueryValueEx(key, torva::kValueUserDir, nullptr, &type, reinterpret_cast<BYTE*>(dir),
                       &len);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot query the registry \"%s\". (%d)\n", torva::kValueUserDir,
            static_cast<int>(rc));
    return false;
  }
  if (type != REG_SZ) {
    fprintf(stderr, "Invalid data type was defined in the registry \"%s\". (%d)\n",
            torva::kValueUserDir, static_cast<int>(type));
    return false;
  }
  dir[len < sizeof dir ? len : sizeof dir - 1] = '\0';
  return true;
}

// Writes one user's file and, once it is complete, deletes the user's subkey.
void Migrate(HKEY store, const char* user_dir, UserRecord& rec) {
  printf("Shifting \"%s\" ... ", rec.name);
  if (!UsableAsFileName(rec.name)) {
    printf("cannot created. (%d)\n", static_cast<int>(ERROR_INVALID_NAME));
    return;
  }
  char path[1024 + sizeof rec.name];
  torva::FormatInto(path, "%s%c%s", user_dir, torva::kPathSep, rec.name);  // always fits

  if (FILE* old = OpenRegularFile(path, "rb")) {
    fclose(old);
    printf("still exist.\n");
    return;
  }
  FILE* f = OpenRegularFile(path, "wb");
  if (f == nullptr) {
    printf("cannot created. (%d)\n", static_cast<int>(GetLastError()));
    return;
  }
  memset(rec.header, 0, sizeof rec.header);
  torva::CopyTruncated(rec.header, TVUSERS_HEADER_TEXT);
  rec.link = 0;
  // Flushing here makes a full disk show up as a write failure, so the
  // subkey is not deleted for a file that never reached the disk.
  if (fwrite(&rec, sizeof rec, 1, f) != 1 || fflush(f) != 0) {
    printf("cannot wrote. (%d)\n", ferror(f));
    fclose(f);
    return;
  }
  fclose(f);
  printf("success.\n");
  RegDeleteKey(store, rec.name);  // a subkey that stays is harmless: its file exists now
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  char store_path[sizeof torva::kSettingsKey + sizeof torva::kLegacyUsersSubkey];
  torva::FormatInto(store_path, "%s\\%s", torva::kSettingsKey, torva::kLegacyUsersSubkey);
  HKEY store = nullptr;
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, store_path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, &store, nullptr);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Old user information is not exist. (%d)\n", static_cast<int>(rc));
    return kExitFailure;
  }

  LegacyList list;
  if (!BuildList(store, list)) {
    fprintf(stderr, "No memory.\n");
    RegCloseKey(store);
    return kExitFailure;
  }

  char user_dir[1024];
  if (!ReadUserDir(user_dir)) {
    RegCloseKey(store);
    return kExitFailure;
  }
  printf("Shifts to \"%s\" from registry.\n", user_dir);
  for (LegacyUser* u = list.head; u != nullptr; u = u->next) Migrate(store, user_dir, u->rec);
  RegCloseKey(store);
  return 0;
}
