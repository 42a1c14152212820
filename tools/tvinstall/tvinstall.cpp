// tvinstall: puts an installation directory into the system, or takes it out.
//   tvinstall -r <directory>   search-path entry, service, event source, "Path"
//   tvinstall -u <directory>   search-path entry and service removed again
// The entry, the service's program and the message file are derived from the
// directory exactly as given.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/program_info.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/registry.h"
#include "platform/service.h"

namespace {

constexpr DWORD kSearchPathSize = 10240;
constexpr DWORD kInstallPathSize = 4096;
constexpr DWORD kTypesSupported = 7;  // error, warning and information

constexpr torva::ProgramInfo kInfo = {
    "tvinstall", "usage:\n> tvinstall { -r | -u } directory\n",
    "-r registers the installation in directory: its bin directory in the system\n"
    "search path, the service \"torvad\" that runs directory/bin/tvwatch, the event\n"
    "source \"Torva Server\" and \"Path\" in the installation settings key. -u takes\n"
    "the search-path entry and the service out again. Anything else: \"Invalied\n"
    "option(s)\", exit code 1.\n",
    8};

long L(LONG rc) { return static_cast<long>(rc); }
int Code(DWORD error) { return static_cast<int>(error); }

LONG SetString(HKEY key, const char* name, DWORD type, const char* text) {
  return RegSetValueEx(key, name, 0, type, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>(strlen(text) + 1));
}

// Opens the system environment key and reads its "Path" into value[10240].
// The messages name the call that failed. On this platform the value does
// not exist until the first entry is added: absent reads as empty, of the
// type Windows gives it.
bool ReadSearchPath(HKEY* key, char* value, DWORD* type, bool absent_is_empty) {
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, torva::kEnvironmentKey, 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key, nullptr);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "RegCreateKeyEx() error=%ld\n", L(rc));
    return false;
  }
  rc = RegQueryString(*key, torva::kValueSearchPath, value, kSearchPathSize, type);
  if (rc == ERROR_FILE_NOT_FOUND && absent_is_empty) {
    value[0] = '\0';
    *type = REG_EXPAND_SZ;
    rc = ERROR_SUCCESS;
  }
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "RegQueryValueEx() error=%ld\n", L(rc));
    RegCloseKey(*key);
    return false;
  }
  return true;
}

void WriteSearchPath(HKEY key, const char* value, DWORD type) {
  LONG rc = SetString(key, torva::kValueSearchPath, type, value);
  if (rc != ERROR_SUCCESS) fprintf(stderr, "RegSetValueEx() error=%ld\n", L(rc));
}

// Step 1 of -r: "<dir>/bin" appended after a ';' unless the search path
// already contains that text anywhere.
void AddSearchPath(const char* dir) {
  char* value = static_cast<char*>(malloc(kSearchPathSize));
  char* entry = static_cast<char*>(malloc(kSearchPathSize));
  if (value == nullptr || entry == nullptr) {
    fprintf(stderr, "no memory.\n");
  } else {
    HKEY key = nullptr;
    DWORD type = REG_NONE;
    if (ReadSearchPath(&key, value, &type, true)) {
      bool fits =
          torva::Format(entry, kSearchPathSize, "%s%c%s", dir, torva::kPathSep, torva::kDirBin);
      if (fits && strstr(value, entry) == nullptr) {
        size_t used = strlen(value);
        if (torva::Format(value + used, kSearchPathSize - used, ";%s", entry))
          WriteSearchPath(key, value, type);
        else
          fits = false;
      }
      // A value and entry beyond the buffer are left alone, never cut.
      if (!fits) fprintf(stderr, "RegSetValueEx() error=%ld\n", L(ERROR_MORE_DATA));
      RegCloseKey(key);
    }
  }
  free(entry);
  free(value);
}

void CreateTheService(const char* dir) {
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) {
    printf("Can not open SCM. (%d)\n", Code(GetLastError()));
    return;
  }
  char image[kInstallPathSize];
  SC_HANDLE svc = nullptr;
  if (!torva::FormatInto(image, "%s%c%s%c%s", dir, torva::kPathSep, torva::kDirBin, torva::kPathSep,
                         torva::kWatchProgram)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
  } else {
    svc = CreateService(scm, torva::kServiceName, torva::kServiceDisplayName, SERVICE_ALL_ACCESS,
                        SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image,
                        nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  if (svc == nullptr)
    printf("Can not create the service. (%d)\n", Code(GetLastError()));
  else
    CloseServiceHandle(svc);
  CloseServiceHandle(scm);
}

void AddEventSource(const char* dir) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, torva::kEventSourceKey, 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) {
    printf("Can not create the message registory. (%ld)\n", L(rc));
    return;
  }
  char file[kInstallPathSize];
  if (!torva::FormatInto(file, "%s%c%s%c%s", dir, torva::kPathSep, torva::kDirLib, torva::kPathSep,
                         torva::kEventsLibrary))
    rc = ERROR_FILENAME_EXCED_RANGE;
  else
    rc = SetString(key, "EventMessageFile", REG_EXPAND_SZ, file);
  if (rc == ERROR_SUCCESS) {
    DWORD types = kTypesSupported;
    rc = RegSetValueEx(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                       sizeof types);
  }
  if (rc != ERROR_SUCCESS) printf("Can not set the message registory value. (%ld)\n", L(rc));
  RegCloseKey(key);
}

void RecordPath(const char* dir) {
  HKEY key = nullptr;
  LONG rc = RegOpenInstallKey(KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) {
    printf("Can not create the registory. (%ld)\n", L(rc));
    return;
  }
  rc = SetString(key, torva::kValuePath, REG_EXPAND_SZ, dir);
  if (rc != ERROR_SUCCESS) printf("Can not set the registory of path. (%ld)\n", L(rc));
  RegCloseKey(key);
}

// -r: every step runs, whatever the ones before it did.
int Register(const char* dir) {
  AddSearchPath(dir);
  CreateTheService(dir);
  AddEventSource(dir);
  RecordPath(dir);
  return 0;
}

// Step 1 of -u: the first occurrence of "<Path>/bin", "Path" taken from the
// installation settings, is cut out of the search path (its characters only).
void RemoveSearchPath() {
  char* value = static_cast<char*>(malloc(kSearchPathSize));
  if (value == nullptr) {
    fprintf(stderr, "no memory.\n");
    return;
  }
  HKEY key = nullptr;
  LONG rc = RegOpenInstallKey(KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "RegOpenKeyEx() error=%ld\n", L(rc));
    free(value);
    return;
  }
  char entry[kInstallPathSize];
  rc = RegQueryString(key, torva::kValuePath, entry, sizeof entry, nullptr);
  RegCloseKey(key);
  size_t used = rc == ERROR_SUCCESS ? strlen(entry) : 0;
  if (rc == ERROR_SUCCESS &&
      !torva::Format(entry + used, sizeof entry - used, "%c%s", torva::kPathSep, torva::kDirBin))
    rc = ERROR_MORE_DATA;
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "RegQueryValueEx() error=%ld\n", L(rc));
    free(value);
    return;
  }
  DWORD type = REG_NONE;
  if (ReadSearchPath(&key, value, &type, false)) {
    if (char* at = strstr(value, entry)) {
      size_t n = strlen(entry);
      memmove(at, at + n, strlen(at + n) + 1);
      WriteSearchPath(key, value, type);
    }
    RegCloseKey(key);
  }
  free(value);
}

int Unregister() {
  RemoveSearchPath();
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) {
    printf("Can not open SCM. (%d)\n", Code(GetLastError()));
    return -1;
  }
  int result = -1;
  SC_HANDLE svc = OpenService(scm, torva::kServiceName, SERVICE_ALL_ACCESS);
  if (svc == nullptr) {
    printf("Can not open the service. (%d)\n", Code(GetLastError()));
  } else {
    if (DeleteService(svc))
      result = 0;
    else
      printf("Can not delete the service. (%d)\n", Code(GetLastError()));
    CloseServiceHandle(svc);
  }
  CloseServiceHandle(scm);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  const char* op = argc >= 3 ? argv[1] : "";
  if (strlen(op) != 2 || op[0] != '-' || (op[1] != 'r' && op[1] != 'u')) {
    printf("Invalied option(s)\n");
    return 1;
  }
  return op[1] == 'r' ? Register(argv[2]) : Unregister();
}
