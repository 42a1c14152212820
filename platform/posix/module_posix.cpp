#include "platform/module.h"

#include <dlfcn.h>
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/process_posix.h"

struct ResourceInfo {
  const void* data;
  DWORD size;
  uintptr_t type;
  uintptr_t id;
};

struct ModuleObject {
  void* dl = nullptr;  // null for the layer's own modules
  // Resources looked up so far; handed out as HRSRC until the module is freed.
  std::mutex mu;
  std::vector<std::unique_ptr<ResourceInfo>> resources;
};

namespace {

struct BuiltinExport {
  const char* name;
  FARPROC address;
};

FARPROC AsFarproc(NTSTATUS(NTAPI* f)(ULONG, void*, ULONG, ULONG*)) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(f));
}

const BuiltinExport kNtdllExports[] = {
    {"ZwQuerySystemInformation", AsFarproc(QuerySystemInformationPosix)},
    {"NtQuerySystemInformation", AsFarproc(QuerySystemInformationPosix)},
};

bool IsNtdll(const char* name) {
  const char* base = strrchr(name, '\\');
  base = base ? base + 1 : name;
  return strcasecmp(base, "ntdll.dll") == 0 || strcasecmp(base, "ntdll") == 0;
}

bool IsIntResource(const char* p) { return reinterpret_cast<uintptr_t>(p) <= 0xFFFF; }

HMODULE Load(const char* file_name, int mode) {
  if (file_name == nullptr || *file_name == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (IsNtdll(file_name)) return new ModuleObject;
  void* dl = dlopen(file_name, mode | RTLD_LOCAL);
  if (dl == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  auto* m = new ModuleObject;
  m->dl = dl;
  return m;
}

}  // namespace

HMODULE LoadLibrary(const char* file_name) { return Load(file_name, RTLD_NOW); }

HMODULE LoadLibraryEx(const char* file_name, HANDLE file, DWORD flags) {
  if (file != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A data file is read for its resources only; nothing of it is called.
  return Load(file_name, (flags & LOAD_LIBRARY_AS_DATAFILE) ? RTLD_LAZY : RTLD_NOW);
}

FARPROC GetProcAddress(HMODULE module, const char* proc_name) {
  if (module == nullptr || proc_name == nullptr || IsIntResource(proc_name)) {
    SetLastError(module == nullptr ? DWORD{ERROR_INVALID_HANDLE} : DWORD{ERROR_PROC_NOT_FOUND});
    return nullptr;
  }
  if (module->dl == nullptr) {
    for (const auto& e : kNtdllExports)
      if (strcmp(e.name, proc_name) == 0) return e.address;
  } else if (void* sym = dlsym(module->dl, proc_name)) {
    return reinterpret_cast<FARPROC>(sym);
  }
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (module->dl != nullptr) dlclose(module->dl);
  delete module;
  return TRUE;
}

HRSRC FindResource(HMODULE module, const char* name, const char* type) {
  if (module == nullptr || !IsIntResource(name) || !IsIntResource(type)) {
    SetLastError(module == nullptr ? DWORD{ERROR_INVALID_HANDLE}
                                   : DWORD{ERROR_RESOURCE_TYPE_NOT_FOUND});
    return nullptr;
  }
  uintptr_t t = reinterpret_cast<uintptr_t>(type);
  uintptr_t id = reinterpret_cast<uintptr_t>(name);
  std::lock_guard<std::mutex> lock(module->mu);
  for (auto& r : module->resources)
    if (r->type == t && r->id == id) return r.get();
  char sym[64], size_sym[80];
  snprintf(sym, sizeof sym, "torva_resource_%u_%u", static_cast<unsigned>(t),
           static_cast<unsigned>(id));
  snprintf(size_sym, sizeof size_sym, "%s_size", sym);
  const void* data = module->dl ? dlsym(module->dl, sym) : nullptr;
  const void* size = module->dl ? dlsym(module->dl, size_sym) : nullptr;
  if (data == nullptr || size == nullptr) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  uint32_t n;
  memcpy(&n, size, sizeof n);
  module->resources.push_back(std::make_unique<ResourceInfo>(ResourceInfo{data, n, t, id}));
  return module->resources.back().get();
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  if (module == nullptr || resource == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return resource->data;
}

const void* LockResource(HGLOBAL data) { return data; }

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  if (module == nullptr || resource == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return resource->size;
}
