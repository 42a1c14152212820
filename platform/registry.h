// Registry calls in the Win32 shape over a text store shared by every process.
//
// Only HKEY_LOCAL_MACHINE exists. The store is the file named by TORVA_REGISTRY
// (default /etc/torva/registry.reg). Values are bytes; strings are stored with
// their terminating NUL counted in the size. Results are Windows error numbers.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

struct RegKeyObject;
using HKEY = RegKeyObject*;
using REGSAM = DWORD;

HKEY RegRootLocalMachine();
#define HKEY_LOCAL_MACHINE (RegRootLocalMachine())

enum : DWORD {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
};

enum : REGSAM {
  KEY_QUERY_VALUE = 0x0001,
  KEY_SET_VALUE = 0x0002,
  KEY_CREATE_SUB_KEY = 0x0004,
  KEY_ENUMERATE_SUB_KEYS = 0x0008,
  KEY_READ = 0x20019,
  KEY_WRITE = 0x20006,
  KEY_ALL_ACCESS = 0xF003F,
};

enum : DWORD {
  REG_OPTION_NON_VOLATILE = 0,
  REG_CREATED_NEW_KEY = 1,
  REG_OPENED_EXISTING_KEY = 2,
};

// Path of the store file this process uses.
[[nodiscard]] const char* RegStorePath();

// When the store file does not exist, writes "The registry file \"<path>\"
// does not exist." on standard error and returns true. The commands that only
// read call it after a read failed, so that the message names the file they
// looked for (they never create it).
bool RegReportMissingStore();

// Opens an existing key. Write access (KEY_SET_VALUE, KEY_CREATE_SUB_KEY or
// KEY_ALL_ACCESS) fails with ERROR_ACCESS_DENIED when this process cannot
// write the store; a missing key gives ERROR_FILE_NOT_FOUND.
[[nodiscard]] LONG RegOpenKeyEx(HKEY parent, const char* subkey, DWORD options, REGSAM sam,
                                HKEY* result);

// Opens a key, creating it and its ancestors when absent. `disposition` may be null.
[[nodiscard]] LONG RegCreateKeyEx(HKEY parent, const char* subkey, DWORD reserved, const char* cls,
                                  DWORD options, REGSAM sam, const void* security, HKEY* result,
                                  DWORD* disposition);

// Reads a value. `type`, `data` and `size` may each be null. With a buffer that
// is too small the size needed is stored and ERROR_MORE_DATA returned.
[[nodiscard]] LONG RegQueryValueEx(HKEY key, const char* name, DWORD* reserved, DWORD* type,
                                   BYTE* data, DWORD* size);

[[nodiscard]] LONG RegSetValueEx(HKEY key, const char* name, DWORD reserved, DWORD type,
                                 const BYTE* data, DWORD size);
[[nodiscard]] LONG RegDeleteValue(HKEY key, const char* name);

// Deletes a key that has no subkeys, with its values (ERROR_ACCESS_DENIED when
// it still has subkeys, as Windows answers).
[[nodiscard]] LONG RegDeleteKey(HKEY parent, const char* subkey);

// Enumerates the direct subkeys in the order they were created. `name_len` is the
// buffer size in, the name length (without NUL) out; ERROR_MORE_DATA when short,
// ERROR_NO_MORE_ITEMS past the end.
[[nodiscard]] LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD* reserved,
                                char* cls, DWORD* cls_len, void* last_write);

// Enumerates the values of a key in stored order.
[[nodiscard]] LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* name_len, DWORD* reserved,
                                DWORD* type, BYTE* data, DWORD* data_len);

LONG RegCloseKey(HKEY key);

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
