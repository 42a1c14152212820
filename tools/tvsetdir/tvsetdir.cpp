// tvsetusers, tvsetcfg, tvsetban: show and set one directory value of the
// installation settings key. One source built three times; TVSETDIR_KIND
// selects the value, its default sub-directory and the command name.
//   <command> { -show | -d directory | -setup | -init }
#include <cstdio>
#include <cstring>

#include "common/program_info.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
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
  const char* usage;
  const char* what;  // for --help
  bool private_dir;  // -init and -setup create the default directory for its owner
};

#define TVSETDIR_USAGE(command) "usage:\n> " command " { -show | -d directory | -setup | -init }\n"

constexpr DirSetting kSettings[] = {
    {"tvsetusers", torva::kValueUserDir, torva::kDirUsers, TVSETDIR_USAGE("tvsetusers"),
     "Shows or sets UserDir, the user directory (one file per user).\n", true},
    {"tvsetcfg", torva::kValueConfigDir, torva::kDirConf, TVSETDIR_USAGE("tvsetcfg"),
     "Shows or sets ConfigDir, the directory of torvad.conf and of the server's\n"
     "certificate (csr.pem) and key (private.pem).\n",
     false},
    {"tvsetban", torva::kValueDisconnectDir, torva::kDirDclist, TVSETDIR_USAGE("tvsetban"),
     "Shows or sets DisconnectDir, the directory of the disconnect files (bans).\n", false},
};
static_assert(TVSETDIR_KIND >= 0 && TVSETDIR_KIND < 3);
constexpr const DirSetting& kThis = kSettings[TVSETDIR_KIND];

constexpr int kExitUsage = 1;
constexpr int kExitFailure = 255;

int Usage() {
  fputs(kThis.usage, stdout);
  return kExitUsage;
}

int QueryFailed(const char* name, LONG rc) {
  fprintf(stderr, "Cannot query the registry \"%s\". (%d)\n", name, static_cast<int>(rc));
  return kExitFailure;
}

int StoreFailed(LONG rc) {
  fprintf(stderr, "Cannot registed the directory information. (%d)\n", static_cast<int>(rc));
  return kExitFailure;
}

int Store(HKEY key, const char* dir) {
  LONG rc = RegSetValueEx(key, kThis.value, 0, REG_SZ, reinterpret_cast<const BYTE*>(dir),
                          static_cast<DWORD>(strlen(dir) + 1));
  if (rc != ERROR_SUCCESS) return StoreFailed(rc);
  return 0;
}

// Opens the key for reading only: showing never creates the registry file,
// its directory or the key.
int Show() {
  char buf[1024];
  DWORD type = REG_NONE;
  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_READ, key.Receive());
  if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
    fprintf(stderr, "Cannot open registory. (%d)\n", static_cast<int>(rc));
    return kExitFailure;
  }
  // A key that is not there holds no value: the value is missing, as it was
  // when the key was created before the read.
  if (rc == ERROR_SUCCESS) rc = RegQueryString(key.Get(), kThis.value, buf, &type);
  if (rc != ERROR_SUCCESS) {
    RegReportMissingStore();
    return QueryFailed(kThis.value, rc);
  }
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
  if (!torva::FormatInto(dir, "%s%c%s", path, torva::kPathSep, kThis.subdir))
    return StoreFailed(ERROR_FILENAME_EXCED_RANGE);
  int result = Store(key, dir);
  // The user directory holds the users' passwords in a reversible form:
  // when it is made here, only its owner may enter it. One that exists
  // already is the administrator's and stays as it is; one that cannot be
  // made shows when the user store is first used.
  if (result == 0 && kThis.private_dir && GetFileAttributes(dir) == INVALID_FILE_ATTRIBUTES)
    static_cast<void>(CreateDirectory(dir, OwnerOnlySecurity()));
  return result;
}

// The directory an administrator gives: the readers take it as the place of
// their own files, and the server's start-up clean-up deletes files there, so
// an empty, relative or root value (the current directory of whoever reads
// it, or "/") is never stored.
int StoreGiven(HKEY key, const char* dir) {
  if (dir[0] == '\0' || PathIsRelative(dir) || PathIsRoot(dir))
    return StoreFailed(ERROR_BAD_PATHNAME);
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
  char summary[512];
  torva::FormatInto(summary,
                    "%s-show prints the value, -d stores the directory given, -setup stores\n"
                    "<Path>/%s only when the value is absent, -init always. -show only reads:\n"
                    "the registry is opened for reading. Exit codes: 0, 1 usage, 255 registry\n"
                    "failure.\n",
                    kThis.what, kThis.subdir);
  const torva::ProgramInfo info = {kThis.command, kThis.usage, summary, 8};
  if (torva::AnswerInfoOption(argc, argv, info)) return 0;
  if (argc < 2) return Usage();
  if (strcmp(argv[1], "-show") == 0) return Show();

  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_ALL_ACCESS, key.Receive());
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot open registory. (%d)\n", static_cast<int>(rc));
    return kExitFailure;
  }

  const char* op = argv[1];
  if (strcmp(op, "-setup") == 0) return Setup(key.Get());
  if (strcmp(op, "-init") == 0) return StoreDefault(key.Get());
  if (strcmp(op, "-d") == 0 && argc >= 3) return StoreGiven(key.Get(), argv[2]);
  return Usage();
}
