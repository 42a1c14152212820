#include "tvwatch/WatchState.h"

#include "common/torva.h"
#include "tvwatch/EventReport.h"

WatchState g_watch = {};

bool ReadSettings(char (&path)[MAX_PATH], char (*config_dir)[MAX_PATH], bool* config_counts) {
  HKEY key = nullptr;
  LONG rc = RegOpenInstallKey(KEY_QUERY_VALUE, &key);
  if (rc != ERROR_SUCCESS) {
    ApiError("RegOpenKeyEx()", static_cast<DWORD>(rc));
    return false;
  }
  if (config_dir != nullptr) {
    DWORD type = REG_NONE;
    *config_counts =
        RegQueryString(key, torva::kValueConfigDir, *config_dir, &type) == ERROR_SUCCESS &&
        type == REG_SZ;
  }
  rc = RegQueryString(key, torva::kValuePath, path);
  if (rc != ERROR_SUCCESS) {
    ApiError("RegQueryValueEx()", static_cast<DWORD>(rc));
    RegCloseKey(key);
    return false;
  }
  rc = RegCloseKey(key);
  if (rc != ERROR_SUCCESS) ApiError("RegCloseKey()", static_cast<DWORD>(rc));
  return true;
}
