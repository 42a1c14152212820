// Stand-in: the registry calls are the system's; the layer adds two helpers.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

[[nodiscard]] LONG RegOpenInstallKey(REGSAM sam, HKEY* key);
[[nodiscard]] LONG RegQueryString(HKEY key, const char* name, char* out, DWORD size, DWORD* type);
template <size_t N>
[[nodiscard]] LONG RegQueryString(HKEY key, const char* name, char (&out)[N],
                                  DWORD* type = nullptr) {
  return RegQueryString(key, name, out, static_cast<DWORD>(N), type);
}
