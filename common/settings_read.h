// Reading the installation settings key without changing anything. The
// commands that only read (tvlsuser, tvlsban, the -show of the directory
// commands, tvreg query) open the key for reading, so they never create the
// registry file, its directory or the key, and work from a store they may
// only read.
#pragma once

#include <cstdio>

#include "common/torva.h"
#include "platform/fs.h"
#include "platform/registry.h"

namespace torva {

// When the registry file itself is missing, says so on standard error,
// naming the file, and returns true; a command calls it when a read failed.
inline bool ReportMissingRegistry() {
  if (GetFileAttributes(RegStorePath()) != INVALID_FILE_ATTRIBUTES) return false;
  DWORD err = GetLastError();
  if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND) return false;
  fprintf(stderr, "The registry file \"%s\" does not exist.\n", RegStorePath());
  return true;
}

// Reads a value of the installation settings key, opened for reading only,
// into buf[*size]; *size becomes the value's size and *type (may be null) its
// type. A missing key holds no value, so it reads as the value missing
// (ERROR_FILE_NOT_FOUND), the answer the commands gave when they still
// created the key first. *opened tells whether the key could be opened.
inline LONG ReadSettingsValue(const char* name, BYTE* buf, DWORD* size, DWORD* type, bool* opened) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ, &key);
  *opened = rc == static_cast<LONG>(ERROR_SUCCESS) || rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  if (rc != static_cast<LONG>(ERROR_SUCCESS)) return rc;
  rc = RegQueryValueEx(key, name, nullptr, type, buf, size);
  RegCloseKey(key);
  return rc;
}

}  // namespace torva
