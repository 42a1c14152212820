// Loadable modules and their resources in the Win32 shape, for a system
// without the Windows headers (see platform/module.h).
#pragma once

#include <cstdint>

#include "platform/wintypes.h"

struct ModuleObject;
using HMODULE = ModuleObject*;
struct ResourceInfo;
using HRSRC = ResourceInfo*;
using HGLOBAL = const void*;
// The address of an export; cast to the routine's own type before calling.
using FARPROC = void (*)();

enum : DWORD { LOAD_LIBRARY_AS_DATAFILE = 0x2 };

#define MAKEINTRESOURCE(i) \
  (reinterpret_cast<const char*>(static_cast<uintptr_t>(static_cast<WORD>(i))))
#define RT_MESSAGETABLE MAKEINTRESOURCE(11)

// A module that cannot be loaded fails with ERROR_MOD_NOT_FOUND.
HMODULE LoadLibrary(const char* file_name);
// `file` must be null. LOAD_LIBRARY_AS_DATAFILE loads a module only for its
// resources, as the event log does with message files.
HMODULE LoadLibraryEx(const char* file_name, HANDLE file, DWORD flags);
// A missing export fails with ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddress(HMODULE module, const char* proc_name);
BOOL FreeLibrary(HMODULE module);

// Integer names and types only (MAKEINTRESOURCE). A resource that the module
// does not carry fails with ERROR_RESOURCE_TYPE_NOT_FOUND. The pointers stay
// valid while the module is loaded.
HRSRC FindResource(HMODULE module, const char* name, const char* type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
const void* LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);
