#include "tvwatch/WatchState.h"

#include "common/torva.h"
#include "tvwatch/EventReport.h"

WatchState g_watch = {};

LONG QueryPathValue(HKEY key, const char* name, char (&buf)[MAX_PATH], DWORD* type) {
  DWORD size = sizeof buf;
  LONG rc = RegQueryValueEx(key, name, nullptr, type, reinterpret_cast<BYTE*>(buf), &size);
  if (rc != ERROR_SUCCESS) return rc;
  if (size < sizeof buf)
    buf[size] = '\0';
  else if (buf[sizeof buf - 1] != '\0')
    return ERROR_MORE_DATA;  // no room left for the terminating NUL
  return ERROR_SUCCESS;
}

bool ReadSettings(char (&path)[MAX_PATH], char (*config_dir)[MAX_PATH], bool* config_counts) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, torva::kSettingsKey, 0, KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    ApiError("RegOpenKeyEx()", static_cast<DWORD>(rc));
    return false;
  }
  if (config_dir != nullptr) {
    DWORD type = REG_NONE;
    *config_counts =
        QueryPathValue(key, torva::kValueConfigDir, *config_dir, &type) == ERROR_SUCCESS &&
        type == REG_SZ;
  }
  rc = QueryPathValue(key, torva::kValuePath, path, nullptr);
  if (rc != ERROR_SUCCESS) {
    ApiError("RegQueryValueEx()", static_cast<DWORD>(rc));
    RegCloseKey(key);
    return false;
  }
  rc = RegCloseKey(key);
  if (rc != ERROR_SUCCESS) ApiError("RegCloseKey()", static_cast<DWORD>(rc));
  return true;
}
