// Registry helpers written once over the Win32-shaped calls, for every platform.
#include "platform/registry.h"

#include "common/torva.h"

LONG RegOpenInstallKey(REGSAM sam, HKEY* key) {
  *key = nullptr;
  if (sam == KEY_ALL_ACCESS) {
    return RegCreateKeyEx(HKEY_LOCAL_MACHINE, torva::kSettingsKey, 0, nullptr,
                          REG_OPTION_NON_VOLATILE, sam, nullptr, key, nullptr);
  }
  return RegOpenKeyEx(HKEY_LOCAL_MACHINE, torva::kSettingsKey, 0, sam, key);
}

LONG RegQueryString(HKEY key, const char* name, char* out, DWORD size, DWORD* type) {
  if (size == 0) return ERROR_INSUFFICIENT_BUFFER;
  DWORD len = size;
  LONG rc = RegQueryValueEx(key, name, nullptr, type, reinterpret_cast<BYTE*>(out), &len);
  if (rc == ERROR_SUCCESS && len >= size && out[size - 1] != '\0') rc = ERROR_MORE_DATA;
  if (rc != ERROR_SUCCESS) {
    out[0] = '\0';
    return rc;
  }
  out[len < size ? len : size - 1] = '\0';
  return ERROR_SUCCESS;
}
