// tvsetusers, tvsetcfg, tvsetban: show and set one directory value of the
// installation settings key. One source built three times; TVSETDIR_KIND
// selects the value, its default sub-directory and the command name.
//   <command> { -show | -d directory | -setup | -init }
#include <cstdio>
#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

#ifndef TVSETDIR_KIND
#error "TVSETDIR_KIND selects the command: 0 tvsetusers, 1 tvsetcfg, 2 tvsetban"
#endif

namespace {

struct DirSetting {
  const char* command;
  const char* value;
  const char* subdir;  // appended to "Path" with the local separator
};

constexpr DirSetting kSettings[] = {
    {"tvsetusers", torva::kValueUserDir, torva::kDirUsers},
    {"tvsetcfg", torva::kValueConfigDir, torva::kDirConf},
    {"tvsetban", torva::kValueDisconnectDir, torva::kDirDclist},
};
static_assert(TVSETDIR_KIND >= 0 && TVSETDIR_KIND < 3);
constexpr const DirSetting& kThis = kSettings[TVSETDIR_KIND];

constexpr int kExitUsage = 1;
constexpr int kExitFailure = 255;

int Usage() {
  printf("usage:\n> %s { -show | -d directory | -setup | -init }\n", kThis.command);
  return kExitUsage;
}

int QueryFailed(const char* name, LONG rc) {
  fprintf(stderr, "Cannot query the registry \"%s\". (%d)\n", name, static_cast<int>(rc));
  return kExitFailure;
}

int Store(HKEY key, const char* dir) {
  LONG rc = RegSetValueEx(key, kThis.value, 0, REG_SZ, reinterpret_cast<const BYTE*>(dir),
                          static_cast<DWORD>(strlen(dir) + 1));
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot registed the directory information. (%d)\n", static_cast<int>(rc));
    return kExitFailure;
  }
  return 0;
}

int Show(HKEY key) {
  char buf[1024];
  DWORD type = REG_NONE;
  LONG rc = RegQueryString(key, kThis.value, buf, &type);
  if (rc != ERROR_SUCCESS) return QueryFailed(kThis.value, rc);
  if (type != REG_SZ) {
    fprintf(stderr, "Invalid data type was defined in the registry \"%s\". (%d)\n", kThis.value,
            static_cast<int>(type));
    return kExitFailure;
  }
  printf("%s\n", buf);
  return 0;
}

// Stores Path followed by the default sub-directory, replacing any value.
int StoreDefault(HKEY key) {
  char path[1024];
  LONG rc = RegQueryString(key, torva::kValuePath, path, nullptr);
  if (rc != ERROR_SUCCESS) return QueryFailed(torva::kValuePath, rc);
  char dir[1024];
  // A directory that does not fit could not be read back by anyone, so a
  // shortened one is never stored.
  if (!torva::FormatInto(dir, "%s%c%s", path, torva::kPathSep, kThis.subdir)) {
    fprintf(stderr, "Cannot registed the directory information. (%d)\n",
            static_cast<int>(ERROR_FILENAME_EXCED_RANGE));
    return kExitFailure;
  }
  return Store(key, dir);
}

// Fills the value in only when it is absent; a value of any type or length
// that is already there is the administrator's and stays.
int Setup(HKEY key) {
  char buf[1024];
  LONG rc = RegQueryString(key, kThis.value, buf, nullptr);
  if (rc != ERROR_FILE_NOT_FOUND) return 0;
  return StoreDefault(key);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();

  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_ALL_ACCESS, key.Receive());
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot open registory. (%d)\n", static_cast<int>(rc));
    return kExitFailure;
  }

  const char* op = argv[1];
  if (strcmp(op, "-show") == 0) return Show(key.Get());
  if (strcmp(op, "-setup") == 0) return Setup(key.Get());
  if (strcmp(op, "-init") == 0) return StoreDefault(key.Get());
  if (strcmp(op, "-d") == 0 && argc >= 3) return Store(key.Get(), argv[2]);
  return Usage();
}
