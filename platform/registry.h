// Registry calls in the Win32 shape (platform/api/registry.h): on Windows the
// system's own; elsewhere over a text store shared by every process, where
// only HKEY_LOCAL_MACHINE exists and the store is the file named by
// TORVA_REGISTRY (default /etc/torva/registry.reg). Values are bytes; strings
// are stored with their terminating NUL counted in the size. Results are
// Windows error numbers.
#pragma once

#include <cstddef>

#include "platform/api/registry.h"
#include "platform/wintypes.h"

// Path of the store file this process uses ("HKEY_LOCAL_MACHINE" on Windows).
[[nodiscard]] const char* RegStorePath();

// When the store file does not exist (never on Windows), writes "The registry file \"<path>\"
// does not exist." on standard error and returns true. The commands that only
// read call it after a read failed, so that the message names the file they
// looked for (they never create it).
bool RegReportMissingStore();

// ---- Helpers over the calls above, the same on every platform. ----

// Opens the installation settings key. KEY_ALL_ACCESS creates it (and its
// ancestors) when absent, as the server and the administration programs
// always open it; any other access opens an existing key only.
[[nodiscard]] LONG RegOpenInstallKey(REGSAM sam, HKEY* key);

// Reads a value as a string into out[size] and terminates it. The bytes are
// taken as stored, whatever the value's type; the type goes to *type when
// `type` is not null. A value stored with its NUL needs `size` bytes at most,
// one stored without it one byte less: a string is never cut short, and one
// that does not fit gives ERROR_MORE_DATA with `out` left empty.
[[nodiscard]] LONG RegQueryString(HKEY key, const char* name, char* out, DWORD size, DWORD* type);

template <size_t N>
[[nodiscard]] LONG RegQueryString(HKEY key, const char* name, char (&out)[N],
                                  DWORD* type = nullptr) {
  static_assert(N > 0 && N <= 0xFFFFFFFF);
  return RegQueryString(key, name, out, static_cast<DWORD>(N), type);
}
