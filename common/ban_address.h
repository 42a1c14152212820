// The disconnect list as the ban commands (tvban, tvunban, tvlsban) see it:
// the address argument, the disconnect file of an address, and the lookup of
// the disconnect directory in the installation settings key.
#pragma once

#include <cstdio>
#include <cstring>

#include "common/settings_read.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/registry.h"

namespace torva {

// Parses "a.b.c.d" the way the commands always have: each part is converted
// as atoi converts it and reduced to its low eight bits (300 gives 44, -1
// gives 255); nothing else is validated. Returns false when the first, second
// or third dot is missing.
inline bool ParseBanAddress(const char* text, unsigned char out[4]) {
  const char* dot1 = strchr(text, '.');
  if (dot1 == nullptr) return false;
  const char* dot2 = strchr(dot1 + 1, '.');
  if (dot2 == nullptr) return false;
  const char* dot3 = strchr(dot2 + 1, '.');
  if (dot3 == nullptr) return false;
  // atoi stops at the first character that is not a digit, so each part ends
  // at its dot without the text having to be cut there.
  const char* parts[4] = {text, dot1 + 1, dot2 + 1, dot3 + 1};
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(AtoiLike(parts[i]) & 0xFF);
  return true;
}

// Room for a disconnect directory of `dir_size` bytes plus "/XXXXXXXX.dca".
inline constexpr size_t DisconnectPathSize(size_t dir_size) { return dir_size + 16; }

// Forms the disconnect file path of an address. `path` must hold
// DisconnectPathSize(strlen(dir) + 1) bytes; returns false when it does not.
inline bool DisconnectFilePath(char* path, size_t size, const char* dir,
                               const unsigned char addr[4]) {
  return Format(path, size, kDisconnectFileFormat, dir, addr[0], addr[1], addr[2], addr[3]);
}

// Reads "DisconnectDir" into dir[size]. tvban and tvunban open the
// installation settings key with full access and create it when absent;
// tvlsban, which only reads, opens it for reading (`read_only`) and never
// creates anything. On failure writes the commands' message on standard error
// (after naming a missing registry file) and returns false; the caller then
// exits with 255.
inline bool ReadDisconnectDir(char* dir, DWORD size, bool read_only = false) {
  DWORD len = size;
  LONG rc;
  bool opened;
  if (read_only) {
    rc = ReadSettingsValue(kValueDisconnectDir, reinterpret_cast<BYTE*>(dir), &len, nullptr,
                           &opened);
  } else {
    HKEY key = nullptr;
    rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &key, nullptr);
    opened = rc == ERROR_SUCCESS;
    if (opened) {
      rc = RegQueryValueEx(key, kValueDisconnectDir, nullptr, nullptr, reinterpret_cast<BYTE*>(dir),
                           &len);
      RegCloseKey(key);
    }
  }
  if (!opened) {
    fprintf(stderr, "Cannot open registory. (%d)\n", static_cast<int>(rc));
    return false;
  }
  if (rc != ERROR_SUCCESS) {
    if (read_only) ReportMissingRegistry();
    fprintf(stderr, "Cannot query the registry \"%s\". (%d)\n", kValueDisconnectDir,
            static_cast<int>(rc));
    return false;
  }
  // The type is not checked, so the data need not end in a NUL of its own.
  dir[len < size ? len : size - 1] = '\0';
  return true;
}

// The opening that tvban and tvunban share: the usage text (on standard
// output) without an argument, the address, the directory and the disconnect
// file's path. Returns -1 with `path` filled to go on, else the exit code to
// end with.
inline int BanCommandTarget(int argc, char** argv, const char* usage, char* path, size_t size) {
  if (argc < 2) {
    fputs(usage, stdout);
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
