#include "tvwatch/WatchState.h"

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
