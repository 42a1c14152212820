// Stand-in for the layer's stream helpers on Windows: CreateFile with the
// share mode asked for, wrapped into a C stream.
#include "platform/fs.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>

int IsRegularFile(const char* path) {
  DWORD attr = GetFileAttributesA(path);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

const SECURITY_ATTRIBUTES* OwnerOnlySecurity() { return nullptr; }

FILE* OpenRegularFileEx(const char* path, const char* mode, DWORD share,
                        const SECURITY_ATTRIBUTES* security) {
  const bool read = mode[0] == 'r';
  const bool plus = strchr(mode, '+') != nullptr;
  const bool exclusive = strchr(mode, 'x') != nullptr;
  DWORD access = read && !plus ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  DWORD disposition = read ? OPEN_EXISTING : mode[0] == 'a' ? OPEN_ALWAYS : CREATE_ALWAYS;
  if (exclusive) disposition = CREATE_NEW;
  if (disposition == OPEN_EXISTING && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES &&
      !IsRegularFile(path)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  HANDLE h = CreateFileA(path, access, share, const_cast<SECURITY_ATTRIBUTES*>(security),
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  int flags = _O_BINARY | (read && !plus ? _O_RDONLY : _O_RDWR);
  if (mode[0] == 'a') flags |= _O_APPEND;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, read && !plus ? "rb" : mode[0] == 'a' ? "ab" : "r+b");
  if (f == nullptr) _close(fd);
  return f;
}

FILE* OpenRegularFile(const char* path, const char* mode) {
  return OpenRegularFileEx(path, mode, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr);
}
