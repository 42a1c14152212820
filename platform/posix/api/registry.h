// The registry calls that Windows defines, over this system's text store
// (see platform/registry.h).
#pragma once

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
