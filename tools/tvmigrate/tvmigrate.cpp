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
#include "platform/unique_handle.h"
#include "tvusers/user_file.h"

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
  UniqueRegKey user;
  if (RegOpenKeyEx(store, rec.name, 0, KEY_ALL_ACCESS, user.Receive()) != ERROR_SUCCESS) return;
  ReadField(user.Get(), "passwd", rec.passwd, sizeof rec.passwd);
  ReadField(user.Get(), "usrdir", rec.usrdir, sizeof rec.usrdir);
  ReadField(user.Get(), "admin", &rec.admin, sizeof rec.admin);
  ReadField(user.Get(), "vfsize", &rec.vfsize, sizeof rec.vfsize);
  ReadField(user.Get(), "vinum", &rec.vinum, sizeof rec.vinum);
  ReadField(user.Get(), "maxfs", &rec.maxfs, sizeof rec.maxfs);
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

// Reads "UserDir" into dir; on failure writes the message and returns false.
bool ReadUserDir(char (&dir)[tvusers::kUserDirSize]) {
  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_ALL_ACCESS, key.Receive());
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot open registory #2. (%d)\n", static_cast<int>(rc));
    return false;
  }
  DWORD type = REG_NONE;
  rc = RegQueryString(key.Get(), torva::kValueUserDir, dir, &type);
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
  return true;
}

// Writes one user's file and, once it is complete, deletes the user's subkey.
void Migrate(HKEY store, const char* user_dir, UserRecord& rec) {
  printf("Shifting \"%s\" ... ", rec.name);
  // A registry key name may hold characters that a file name must not.
  char path[tvusers::kPathSize];
  if (!tvusers::NameIsUsable(rec.name) || !tvusers::UserFilePath(path, user_dir, rec.name)) {
    printf("cannot created. (%d)\n", static_cast<int>(ERROR_INVALID_NAME));
    return;
  }
  if (tvusers::UserFileExists(path)) {
    printf("still exist.\n");
    return;
  }
  // The file holds a password that anyone who can read it can recover: it is
  // made for its owner alone, as the user store makes its files.
  UniqueFile file(OpenRegularFileEx(
      path, "wb", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OwnerOnlySecurity()));
  if (!file) {
    printf("cannot created. (%d)\n", static_cast<int>(GetLastError()));
    return;
  }
  // The legacy store kept the password scrambled already: the record goes
  // into the file as it was read.
  tvusers::StampHeader(rec);
  // The subkey is only deleted for a file that reached the disk.
  if (!tvusers::WriteUserRecord(file.Get(), rec)) {
    printf("cannot wrote. (%d)\n", ferror(file.Get()));
    return;
  }
  file.Reset();
  printf("success.\n");
  // A subkey that stays is harmless: its file exists now, so a later run
  // reports "still exist." for it.
  static_cast<void>(RegDeleteKey(store, rec.name));
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  char store_path[sizeof torva::kSettingsKey + sizeof torva::kLegacyUsersSubkey];
  torva::FormatInto(store_path, "%s\\%s", torva::kSettingsKey, torva::kLegacyUsersSubkey);
  UniqueRegKey store;
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, store_path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, store.Receive(), nullptr);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Old user information is not exist. (%d)\n", static_cast<int>(rc));
    return kExitFailure;
  }

  LegacyList list;
  if (!BuildList(store.Get(), list)) {
    fprintf(stderr, "No memory.\n");
    return kExitFailure;
  }

  char user_dir[tvusers::kUserDirSize];
  if (!ReadUserDir(user_dir)) return kExitFailure;
  printf("Shifts to \"%s\" from registry.\n", user_dir);
  for (LegacyUser* u = list.head; u != nullptr; u = u->next) Migrate(store.Get(), user_dir, u->rec);
  return 0;
}
