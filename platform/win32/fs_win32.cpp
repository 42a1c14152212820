// The file helpers of the layer that have no Win32 twin, over the Win32 calls
// and the C runtime's descriptors.
#include "platform/fs.h"

#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// A handle that only looks at a file: no access asked, so neither a pipe nor
// a device is waited on, and every sharing allowed.
HANDLE OpenForLooking(const char* path) {
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The final path of an existing file or directory, links followed, without
// the "\\?\" prefix; empty when it cannot be told.
std::string FinalPath(const char* path) {
  HANDLE h = OpenForLooking(path);
  if (h == INVALID_HANDLE_VALUE) return {};
  char buf[MAX_PATH * 4];
  DWORD n = GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED);
  CloseHandle(h);
  if (n == 0 || n >= sizeof buf) return {};
  std::string out(buf, n);
  if (out.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + out.substr(8);
  if (out.rfind("\\\\?\\", 0) == 0) return out.substr(4);
  return out;
}

// A full path with '\' separators, "." and ".." taken away and every existing
// leading part replaced by its final path. Empty on failure (last error set).
std::string ResolveLoosely(const char* path) {
  char full[MAX_PATH * 4];
  DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) {
    if (n >= sizeof full) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return {};
  }
  std::string s(full, n);
  for (char& c : s)
    if (c == '/') c = '\\';
  while (s.size() > 3 && s.back() == '\\') s.pop_back();
  // The longest leading part that exists, resolved; the rest as written.
  std::string head = s;
  std::string tail;
  for (;;) {
    std::string final_path = FinalPath(head.c_str());
    if (!final_path.empty()) {
      while (final_path.size() > 3 && final_path.back() == '\\') final_path.pop_back();
      return tail.empty() ? final_path
                          : final_path + (final_path.back() == '\\' ? "" : "\\") + tail;
    }
    size_t cut = head.find_last_of('\\');
    if (cut == std::string::npos || cut + 1 >= head.size() || head.size() <= 3) return s;
    tail = tail.empty() ? head.substr(cut + 1) : head.substr(cut + 1) + "\\" + tail;
    head.erase(cut == 2 ? 3 : cut);  // keep "C:\"
  }
}

}  // namespace

HANDLE FindFirstFileNames(const char* pattern, WIN32_FIND_DATA* data) {
  // The search of the system fills every field from the directory alone.
  return FindFirstFileA(pattern, data);
}

int IsRegularFile(const char* path) {
  DWORD attrs = GetFileAttributesA(path);
  if (attrs == INVALID_FILE_ATTRIBUTES) return -1;
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return 0;
  // A device name ("NUL", "COM1") or a pipe answers with attributes too.
  HANDLE h = OpenForLooking(path);
  if (h == INVALID_HANDLE_VALUE) return -1;
  DWORD type = GetFileType(h);
  CloseHandle(h);
  return type == FILE_TYPE_DISK ? 1 : 0;
}

SECURITY_ATTRIBUTES* OwnerOnlySecurity() {
  // Full access for the owner, the system and the administrators; nothing
  // inherited from the folder.
  static SECURITY_ATTRIBUTES attributes = [] {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &sd, nullptr))
      sa.lpSecurityDescriptor = sd;
    return sa;
  }();
  return &attributes;
}

FILE* OpenRegularFile(const char* path, const char* mode) {
  return OpenRegularFileEx(path, mode, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr);
}

FILE* OpenRegularFileEx(const char* path, const char* mode, DWORD share,
                        const SECURITY_ATTRIBUTES* security) {
  const bool plus = strchr(mode, '+') != nullptr;
  const bool excl = strchr(mode, 'x') != nullptr;
  DWORD access = 0;
  DWORD disposition = 0;
  int crt_flags = strchr(mode, 'b') != nullptr ? _O_BINARY : _O_TEXT;
  bool truncate = false;
  switch (mode[0]) {
    case 'r':
      access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
      disposition = OPEN_EXISTING;
      crt_flags |= plus ? _O_RDWR : _O_RDONLY;
      break;
    case 'w':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = excl ? CREATE_NEW : OPEN_ALWAYS;
      crt_flags |= plus ? _O_RDWR : _O_WRONLY;
      truncate = true;
      break;
    case 'a':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = excl ? CREATE_NEW : OPEN_ALWAYS;
      crt_flags |= (plus ? _O_RDWR : _O_WRONLY) | _O_APPEND;
      break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
  }
  // Look before opening: a device or a pipe is never opened for a client.
  int kind = IsRegularFile(path);
  if (kind == 0) {
    SetLastError(excl ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Without shared writing the file is held alone, as the layer promises.
  DWORD share_mode = (share & FILE_SHARE_WRITE) == 0 ? 0 : share;
  HANDLE h = CreateFileA(path, access, share_mode, const_cast<SECURITY_ATTRIBUTES*>(security),
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_ALREADY_EXISTS) SetLastError(ERROR_FILE_EXISTS);
    return nullptr;
  }
  auto fail = [h](DWORD code) -> FILE* {
    CloseHandle(h);
    SetLastError(code);
    return nullptr;
  };
  if (GetFileType(h) != FILE_TYPE_DISK) return fail(ERROR_ACCESS_DENIED);
  // Emptied only once held, so a refused upload leaves the holder's bytes alone.
  if (truncate && (!SetFilePointerEx(h, LARGE_INTEGER{}, nullptr, FILE_BEGIN) || !SetEndOfFile(h)))
    return fail(GetLastError());
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt_flags);
  if (fd < 0) return fail(ERROR_TOO_MANY_OPEN_FILES);
  // _fdopen knows nothing of 'x'.
  std::string fmode(1, mode[0]);
  if (plus) fmode += '+';
  if ((crt_flags & _O_BINARY) != 0) fmode += 'b';
  FILE* f = _fdopen(fd, fmode.c_str());
  if (f == nullptr) {
    DWORD code = ErrnoToWin32(errno);
    _close(fd);
    SetLastError(code);
  }
  return f;
}

int64_t FileStreamSize(FILE* stream) {
  fflush(stream);
  int64_t size = _filelengthi64(_fileno(stream));
  if (size < 0) SetLastError(ErrnoToWin32(errno));
  return size;
}

BOOL FileStreamTruncate(FILE* stream) {
  if (fflush(stream) != 0 || _chsize_s(_fileno(stream), 0) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return FALSE;
  }
  rewind(stream);
  return TRUE;
}

BOOL FileStreamSetSize(FILE* stream, int64_t size) {
  if (fflush(stream) != 0 || _chsize_s(_fileno(stream), size) != 0 ||
      _fseeki64(stream, size, SEEK_SET) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL FileStreamSeek(FILE* stream, int64_t offset) {
  if (_fseeki64(stream, offset, SEEK_SET) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL FileTimeToLocalSystemTime(const FILETIME* ft, SYSTEMTIME* out) {
  SYSTEMTIME utc;
  return FileTimeToSystemTime(ft, &utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, out);
}

int PathIsInside(const char* root, const char* path) {
  std::string r = ResolveLoosely(root);
  std::string p = ResolveLoosely(path);
  if (r.empty() || p.empty()) return -1;
  if (p.size() < r.size() || _strnicmp(p.c_str(), r.c_str(), r.size()) != 0) return 0;
  return p.size() == r.size() || r.back() == '\\' || p[r.size()] == '\\' ? 1 : 0;
}

BOOL CreateDirectoryTree(const char* path) {
  std::string s(path);
  size_t start = 0;
  // The root of the path is never created: "C:\", "\\server\share\", "\".
  if (s.size() >= 2 && s[1] == ':') start = 2;
  if (s.size() >= 2 && IsSeparator(s[0]) && IsSeparator(s[1])) {
    size_t host = s.find_first_of("\\/", 2);
    start = host == std::string::npos ? s.size() : s.find_first_of("\\/", host + 1);
    if (start == std::string::npos) return TRUE;
  }
  for (size_t i = start + 1; i <= s.size(); ++i) {
    if (i != s.size() && !IsSeparator(s[i])) continue;
    if (IsSeparator(s[i - 1])) continue;
    std::string part = s.substr(0, i);
    if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
