#include "tools/ban_command/ban_command.h"

#include <cstdio>
#include <cstring>

#include "common/ban_address.h"
#include "common/torva.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace torva {

bool ReadDisconnectDir(char* dir, DWORD size, bool read_only) {
  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(read_only ? KEY_READ : KEY_ALL_ACCESS, key.Receive());
  // A key that is not there holds no value: reading only, that is the value
  // missing, as it was when the key was created before the read.
  const bool no_key = read_only && rc == ERROR_FILE_NOT_FOUND;
  if (rc != ERROR_SUCCESS && !no_key) {
    fprintf(stderr, "Cannot open registory. (%d)\n", static_cast<int>(rc));
    return false;
  }
  // The type is not checked: whatever is stored is taken as the directory.
  if (!no_key) rc = RegQueryString(key.Get(), kValueDisconnectDir, dir, size, nullptr);
  if (rc != ERROR_SUCCESS) {
    if (read_only) RegReportMissingStore();
    fprintf(stderr, "Cannot query the registry \"%s\". (%d)\n", kValueDisconnectDir,
            static_cast<int>(rc));
    return false;
  }
  return true;
}

int BanCommandTarget(int argc, char** argv, const char* usage, char* path, size_t size) {
  if (argc < 2) {
    fputs(usage, stdout);
    return 1;
  }
  // An argument with a ':' is an IPv6 address; anything else is read the
  // classic way.
  const bool v6 = strchr(argv[1], ':') != nullptr;
  unsigned char addr[16];
  if (v6 ? !ParseBanAddress6(argv[1], addr) : !ParseBanAddress(argv[1], addr)) {
    fprintf(stderr, "Format error.\n");
    return 1;
  }
  char dir[1024];
  if (!ReadDisconnectDir(dir, sizeof dir)) return 255;
  // Always fits: callers give DisconnectPathSize(sizeof dir) bytes.
  if (!(v6 ? DisconnectFilePath6(path, size, dir, addr)
           : DisconnectFilePath(path, size, dir, addr)))
    return 255;
  return -1;
}

}  // namespace torva
