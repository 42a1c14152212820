#include "tools/ban_command/ban_command.h"

#include <cstdio>

#include "common/ban_address.h"
#include "common/torva.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"

namespace torva {

bool ReadDisconnectDir(char* dir, DWORD size) {
  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_ALL_ACCESS, key.Receive());
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot open registory. (%d)\n", static_cast<int>(rc));
    return false;
  }
  // The type is not checked: whatever is stored is taken as the directory.
  rc = RegQueryString(key.Get(), kValueDisconnectDir, dir, size, nullptr);
  if (rc != ERROR_SUCCESS) {
    fprintf(stderr, "Cannot query the registry \"%s\". (%d)\n", kValueDisconnectDir,
            static_cast<int>(rc));
    return false;
  }
  return true;
}

int BanCommandTarget(int argc, char** argv, const char* command, char* path, size_t size) {
  if (argc < 2) {
    printf("usage:\n> %s address\n", command);
    return 1;
  }
  unsigned char addr[4];
  if (!ParseBanAddress(argv[1], addr)) {
    fprintf(stderr, "Format error.\n");
    return 1;
  }
  char dir[1024];
  if (!ReadDisconnectDir(dir, sizeof dir)) return 255;
  // Always fits: callers give DisconnectPathSize(sizeof dir) bytes.
  if (!DisconnectFilePath(path, size, dir, addr)) return 255;
  return -1;
}

}  // namespace torva
