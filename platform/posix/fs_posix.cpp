#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/handle_posix.h"

namespace {

constexpr uint64_t kEpochDiff = 116444736000000000ULL;  // 1601 to 1970 in 100 ns

// The calendar fields of a broken-down time.
SYSTEMTIME SystemTimeOf(const struct tm& tm, WORD milliseconds) {
  SYSTEMTIME st;
  st.wYear = static_cast<WORD>(tm.tm_year + 1900);
  st.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  st.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  st.wDay = static_cast<WORD>(tm.tm_mday);
  st.wHour = static_cast<WORD>(tm.tm_hour);
  st.wMinute = static_cast<WORD>(tm.tm_min);
  st.wSecond = static_cast<WORD>(tm.tm_sec);
  st.wMilliseconds = milliseconds;
  return st;
}

// Seconds since 1970 of a file time (negative before it).
int64_t UnixSeconds(uint64_t t) {
  return static_cast<int64_t>(t / 10000000ULL) - static_cast<int64_t>(kEpochDiff / 10000000ULL);
}

BOOL FailErrno() {
  SetLastError(ErrnoToWin32(errno));
  return FALSE;
}

FILETIME ToFileTime(const struct timespec& ts) {
  uint64_t t = static_cast<uint64_t>(ts.tv_sec) * 10000000ULL +
               static_cast<uint64_t>(ts.tv_nsec) / 100 + kEpochDiff;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

DWORD Attributes(const char* name, const struct stat& st) {
  DWORD a = 0;
  if (S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_DIRECTORY;
  if ((st.st_mode & S_IWUSR) == 0) a |= FILE_ATTRIBUTE_READONLY;
  if (name[0] == '.' && strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
    a |= FILE_ATTRIBUTE_HIDDEN;
  if (!S_ISDIR(st.st_mode)) a |= FILE_ATTRIBUTE_ARCHIVE;
  return a;
}

const char* BaseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

struct FindObject : HandleObject {
  DIR* dir = nullptr;
  std::string dirpath;
  std::string pattern;
  bool names_only = false;
  BOOL Close() override {
    if (dir) closedir(dir);
    delete this;
    return TRUE;
  }
};

// Fills `data` with the next entry of the search that matches; false at the end.
bool NextMatch(FindObject* f, WIN32_FIND_DATA* data) {
  for (;;) {
    errno = 0;
    struct dirent* e = readdir(f->dir);
    if (e == nullptr) return false;
    if (fnmatch(f->pattern.c_str(), e->d_name, 0) != 0) continue;
    size_t len = strlen(e->d_name);
    if (len >= sizeof data->cFileName) continue;
    if (f->names_only && e->d_type != DT_UNKNOWN && e->d_type != DT_LNK) {
      // The directory itself says whether the entry is a directory.
      memset(data, 0, sizeof *data);
      data->dwFileAttributes =
          e->d_type == DT_DIR ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
      if (e->d_name[0] == '.' && strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        data->dwFileAttributes |= FILE_ATTRIBUTE_HIDDEN;
      memcpy(data->cFileName, e->d_name, len + 1);
      return true;
    }
    // Looked up relative to the open directory: one path component per entry
    // instead of the whole path.
    const int dfd = dirfd(f->dir);
    struct stat st;
    if (fstatat(dfd, e->d_name, &st, 0) != 0 &&
        fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = Attributes(e->d_name, st);
    data->ftCreationTime = ToFileTime(st.st_ctim);
    data->ftLastAccessTime = ToFileTime(st.st_atim);
    data->ftLastWriteTime = ToFileTime(st.st_mtim);
    uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
    data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(size);
    memcpy(data->cFileName, e->d_name, len + 1);
    return true;
  }
}

struct FileObject : HandleObject {
  int fd = -1;
  BOOL Close() override {
    if (fd >= 0) close(fd);  // closing the descriptor releases its flock
    delete this;
    return TRUE;
  }
  int Fd() const override { return fd; }
};

}  // namespace

BOOL CloseHandle(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return static_cast<HandleObject*>(handle)->Close();
}

namespace {

HANDLE StartSearch(const char* pattern, WIN32_FIND_DATA* data, bool names_only) {
  auto* f = new FindObject;
  f->names_only = names_only;
  const char* base = BaseName(pattern);
  f->pattern = base;
  f->dirpath = base == pattern ? std::string(".") : std::string(pattern, base - pattern - 1);
  if (f->dirpath.empty()) f->dirpath = "/";
  if (f->pattern.empty()) f->pattern = "*";
  f->dir = opendir(f->dirpath.c_str());
  if (f->dir == nullptr) {
    DWORD code = errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrnoToWin32(errno);
    delete f;
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  if (!NextMatch(f, data)) {
    f->Close();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return f;
}

}  // namespace

HANDLE FindFirstFile(const char* pattern, WIN32_FIND_DATA* data) {
  return StartSearch(pattern, data, false);
}

HANDLE FindFirstFileNames(const char* pattern, WIN32_FIND_DATA* data) {
  return StartSearch(pattern, data, true);
}

BOOL FindNextFile(HANDLE search, WIN32_FIND_DATA* data) {
  auto* f = static_cast<FindObject*>(search);
  if (f == nullptr || f->dir == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!NextMatch(f, data)) {
    SetLastError(errno != 0 ? ErrnoToWin32(errno) : ERROR_NO_MORE_FILES);
    return FALSE;
  }
  return TRUE;
}

BOOL FindClose(HANDLE search) { return CloseHandle(search); }

DWORD GetFileAttributes(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    FailErrno();
    return INVALID_FILE_ATTRIBUTES;
  }
  return Attributes(BaseName(path), st);
}

BOOL GetFileAttributesEx(const char* path, GET_FILEEX_INFO_LEVELS,
                         WIN32_FILE_ATTRIBUTE_DATA* data) {
  struct stat st;
  if (stat(path, &st) != 0) return FailErrno();
  data->dwFileAttributes = Attributes(BaseName(path), st);
  data->ftLastWriteTime = ToFileTime(st.st_mtim);
  uint64_t size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  return TRUE;
}

int IsRegularFile(const char* path) {
  struct stat st;
  if (stat(path, &st) != 0) {
    FailErrno();
    return -1;
  }
  return S_ISREG(st.st_mode) ? 1 : 0;
}

SECURITY_ATTRIBUTES* OwnerOnlySecurity() {
  // Never written: the calls tell it by its address.
  static SECURITY_ATTRIBUTES kOwnerOnly{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
  return &kOwnerOnly;
}

namespace {

bool OwnerOnly(const void* security) {
  return security != nullptr && security == OwnerOnlySecurity();
}

// Gives the file open on `fd` to the owner of the directory that holds `path`
// when that is not root. False with errno when the change fails.
bool GiveToDirectoryOwner(int fd, const char* path) {
  std::string dir(path);
  size_t slash = dir.find_last_of('/');
  dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return false;
  if (st.st_uid == 0 && st.st_gid == 0) return true;
  return fchown(fd, st.st_uid, st.st_gid) == 0;
}

}  // namespace

BOOL CreateDirectory(const char* path, const void* security) {
  if (mkdir(path, OwnerOnly(security) ? 0700 : 0777) != 0) return FailErrno();
  return TRUE;
}

BOOL RemoveDirectory(const char* path) {
  if (rmdir(path) != 0) {
    // rmdir reports a non-empty directory as ENOTEMPTY or EEXIST.
    if (errno == EEXIST) errno = ENOTEMPTY;
    return FailErrno();
  }
  return TRUE;
}

BOOL DeleteFile(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) return FailErrno();
  if (S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (S_ISREG(st.st_mode)) {
    // A holder without sharing keeps an exclusive flock; Windows refuses the
    // delete then, and so do we.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        SetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrnoToWin32(err));
        return FALSE;
      }
      BOOL ok = unlink(path) == 0 ? TRUE : FailErrno();
      close(fd);
      return ok;
    }
  }
  if (unlink(path) != 0) return FailErrno();
  return TRUE;
}

BOOL MoveFile(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return TRUE;
  if (errno == EEXIST) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (errno != EINVAL && errno != ENOSYS) return FailErrno();
  // File systems without RENAME_NOREPLACE: check, then rename.
  struct stat st;
  if (lstat(to, &st) == 0) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return FALSE;
  }
  if (rename(from, to) != 0) return FailErrno();
  return TRUE;
}

HANDLE CreateFile(const char* path, DWORD access, DWORD share, const void* security,
                  DWORD disposition, DWORD, HANDLE) {
  int flags = O_CLOEXEC | O_NOCTTY;
  if ((access & GENERIC_WRITE) && (access & GENERIC_READ))
    flags |= O_RDWR;
  else if (access & GENERIC_WRITE)
    flags |= O_WRONLY;
  else
    flags |= O_RDONLY;
  switch (disposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    default: break;  // OPEN_EXISTING, TRUNCATE_EXISTING: the file must exist
  }
  int fd = open(path, flags | O_NONBLOCK, OwnerOnly(security) ? 0600 : 0666);
  if (fd < 0) {
    FailErrno();
    return INVALID_HANDLE_VALUE;
  }
  int op = (share == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (flock(fd, op) != 0) {
    int err = errno;
    close(fd);
    SetLastError(err == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrnoToWin32(err));
    return INVALID_HANDLE_VALUE;
  }
  if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
    if (ftruncate(fd, 0) != 0) {
      int err = errno;
      close(fd);
      SetLastError(ErrnoToWin32(err));
      return INVALID_HANDLE_VALUE;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  auto* f = new FileObject;
  f->fd = fd;
  return f;
}

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void*) {
  if (written != nullptr) *written = 0;
  int fd = (file == nullptr || file == INVALID_HANDLE_VALUE)
               ? -1
               : static_cast<HandleObject*>(file)->Fd();
  if (fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const char* p = static_cast<const char*>(data);
  DWORD done = 0;
  while (done < size) {
    ssize_t n = write(fd, p + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written != nullptr) *written = done;
      return FailErrno();
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return TRUE;
}

FILE* OpenRegularFile(const char* path, const char* mode) {
  return OpenRegularFileEx(path, mode, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr);
}

FILE* OpenRegularFileEx(const char* path, const char* mode, DWORD share,
                        const SECURITY_ATTRIBUTES* security) {
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  bool plus = strchr(mode, '+') != nullptr;
  // Emptying waits until the file is held: an upload refused by the holder's
  // lock must leave the holder's bytes alone.
  bool truncate = false;
  switch (mode[0]) {
    case 'r': flags |= plus ? O_RDWR : O_RDONLY; break;
    case 'w':
      flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT;
      truncate = true;
      break;
    case 'a': flags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return nullptr;
  }
  if (strchr(mode, 'x') != nullptr) flags |= O_EXCL;
  const bool exclusive = (share & FILE_SHARE_WRITE) == 0;
  // Look before opening: truncating or creating through a FIFO or device
  // must never happen, and O_NONBLOCK keeps a FIFO from blocking the open.
  struct stat st;
  const bool existed = stat(path, &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) {
    SetLastError((flags & O_EXCL) ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    return nullptr;
  }
  int fd = open(path, flags, OwnerOnly(security) ? 0600 : 0666);
  if (fd < 0) {
    if (errno == EEXIST) {
      SetLastError(ERROR_FILE_EXISTS);
      return nullptr;
    }
    FailErrno();
    return nullptr;
  }
  auto fail = [fd](DWORD code) -> FILE* {
    close(fd);
    SetLastError(code);
    return nullptr;
  };
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return fail(ERROR_ACCESS_DENIED);
  // flock belongs to the open file description, so two opens in one process
  // exclude each other as two processes do.
  if (exclusive && flock(fd, LOCK_EX | LOCK_NB) != 0)
    return fail(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ErrnoToWin32(errno));
  if (truncate && ftruncate(fd, 0) != 0) return fail(ErrnoToWin32(errno));
  // A private file made by root in a directory that belongs to a service
  // account (the user directory of a server that runs as that account) goes
  // to the directory's owner, as a new file inherits its folder's access on
  // Windows; otherwise the account could not read what root wrote for it.
  if (OwnerOnly(security) && !existed && geteuid() == 0 && !GiveToDirectoryOwner(fd, path)) {
    DWORD code = ErrnoToWin32(errno);
    unlink(path);
    return fail(code);
  }
  if (OwnerOnly(security) && mode[0] != 'r' && (st.st_mode & 077) != 0 &&
      fchmod(fd, st.st_mode & 0700) != 0)
    return fail(ErrnoToWin32(errno));
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // fdopen knows nothing of 'x'.
  char fmode[4] = {mode[0], plus ? '+' : '\0', '\0', '\0'};
  FILE* f = fdopen(fd, fmode);
  if (f == nullptr) return fail(ErrnoToWin32(errno));
  return f;
}

int64_t FileStreamSize(FILE* stream) {
  struct stat st;
  if (fstat(fileno(stream), &st) != 0) {
    FailErrno();
    return -1;
  }
  return static_cast<int64_t>(st.st_size);
}

BOOL FileStreamTruncate(FILE* stream) {
  if (fflush(stream) != 0) return FailErrno();
  if (ftruncate(fileno(stream), 0) != 0) return FailErrno();
  rewind(stream);
  return TRUE;
}

BOOL FileStreamSetSize(FILE* stream, int64_t size) {
  if (fflush(stream) != 0) return FailErrno();
  if (ftruncate(fileno(stream), static_cast<off_t>(size)) != 0) return FailErrno();
  return FileStreamSeek(stream, size);
}

BOOL FileStreamSeek(FILE* stream, int64_t offset) {
  if (fseeko(stream, static_cast<off_t>(offset), SEEK_SET) != 0) return FailErrno();
  return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* access,
                 const FILETIME* write) {
  (void)creation;  // this file system keeps no creation time to set
  auto* f = static_cast<FileObject*>(file);
  if (f == nullptr || file == INVALID_HANDLE_VALUE || f->fd < 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  struct timespec times[2];
  const FILETIME* given[2] = {access, write};
  for (int i = 0; i < 2; ++i) {
    if (given[i] == nullptr) {
      times[i].tv_sec = 0;
      times[i].tv_nsec = UTIME_OMIT;
      continue;
    }
    uint64_t t = (static_cast<uint64_t>(given[i]->dwHighDateTime) << 32) | given[i]->dwLowDateTime;
    times[i].tv_sec = static_cast<time_t>(UnixSeconds(t));
    times[i].tv_nsec = static_cast<long>((t % 10000000ULL) * 100);
  }
  if (futimens(f->fd, times) != 0) return FailErrno();
  return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* out) {
  uint64_t t = (static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
  time_t secs = static_cast<time_t>(UnixSeconds(t));
  struct tm tm;
  if (gmtime_r(&secs, &tm) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *out = SystemTimeOf(tm, static_cast<WORD>((t / 10000) % 1000));
  return TRUE;
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* out) {
  static constexpr int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (st->wYear < 1601 || st->wYear > 30827 || st->wMonth < 1 || st->wMonth > 12 || st->wDay < 1 ||
      st->wDay > kDays[st->wMonth - 1] || st->wHour > 23 || st->wMinute > 59 || st->wSecond > 59 ||
      st->wMilliseconds > 999) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool leap = (st->wYear % 4 == 0 && st->wYear % 100 != 0) || st->wYear % 400 == 0;
  if (st->wMonth == 2 && st->wDay == 29 && !leap) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct tm tm;
  memset(&tm, 0, sizeof tm);
  tm.tm_year = st->wYear - 1900;
  tm.tm_mon = st->wMonth - 1;
  tm.tm_mday = st->wDay;
  tm.tm_hour = st->wHour;
  tm.tm_min = st->wMinute;
  tm.tm_sec = st->wSecond;
  int64_t secs = static_cast<int64_t>(timegm(&tm));
  uint64_t t = static_cast<uint64_t>(secs * 10000000LL + static_cast<int64_t>(kEpochDiff)) +
               static_cast<uint64_t>(st->wMilliseconds) * 10000ULL;
  out->dwLowDateTime = static_cast<DWORD>(t);
  out->dwHighDateTime = static_cast<DWORD>(t >> 32);
  return TRUE;
}

void GetLocalTime(SYSTEMTIME* out) {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm tm;
  localtime_r(&ts.tv_sec, &tm);
  *out = SystemTimeOf(tm, static_cast<WORD>(ts.tv_nsec / 1000000));
}

BOOL FileTimeToLocalSystemTime(const FILETIME* ft, SYSTEMTIME* out) {
  uint64_t t = (static_cast<uint64_t>(ft->dwHighDateTime) << 32) | ft->dwLowDateTime;
  if (t < kEpochDiff) t = kEpochDiff;
  time_t secs = static_cast<time_t>((t - kEpochDiff) / 10000000ULL);
  struct tm tm;
  if (localtime_r(&secs, &tm) == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *out = SystemTimeOf(tm, static_cast<WORD>((t / 10000) % 1000));
  return TRUE;
}

BOOL PathIsRelative(const char* path) { return path[0] != '/'; }

BOOL PathIsRoot(const char* path) {
  if (path[0] != '/') return FALSE;
  // Depth below the root once "." and ".." have done their work; ".." at the
  // root stays there.
  int depth = 0;
  const char* p = path;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char* end = p;
    while (*end != '\0' && *end != '/') ++end;
    size_t len = static_cast<size_t>(end - p);
    if (len == 2 && p[0] == '.' && p[1] == '.') {
      if (depth > 0) --depth;
    } else if (len > 0 && !(len == 1 && p[0] == '.')) {
      ++depth;
    }
    p = end;
  }
  return depth == 0;
}

namespace {

// Splits a path into its components, dropping empty ones and ".".
void AppendComponents(const std::string& path, std::vector<std::string>& out) {
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    std::string c = path.substr(i, j - i);
    if (!c.empty() && c != ".") out.push_back(c);
    i = j + 1;
  }
}

void DropLastComponent(std::string& path) {
  size_t slash = path.rfind('/');
  path.resize(slash == 0 || slash == std::string::npos ? 1 : slash);
}

// The path with every link followed. Components that do not exist (and what
// follows them) are appended as written; false with the last error for a
// loop of links or a directory on the way that cannot be examined.
bool ResolveLoosely(const char* path, std::string& out) {
  std::string start;
  if (path[0] != '/') {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) return FailErrno();
    start = cwd;
  }
  std::vector<std::string> todo;  // components still to walk, the next one last
  {
    std::vector<std::string> comps;
    AppendComponents(start + "/" + path, comps);
    todo.assign(comps.rbegin(), comps.rend());
  }
  std::string resolved = "/";
  bool missing = false;  // a component on the way did not exist
  int links = 0;
  while (!todo.empty()) {
    std::string c = std::move(todo.back());
    todo.pop_back();
    if (c == "..") {
      DropLastComponent(resolved);
      continue;
    }
    std::string next = resolved;
    if (next != "/") next += '/';
    next += c;
    if (!missing) {
      struct stat st;
      if (lstat(next.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) return FailErrno();
        missing = true;
      } else if (S_ISLNK(st.st_mode)) {
        if (++links > 40) {
          SetLastError(ERROR_INVALID_NAME);
          return false;
        }
        std::vector<char> target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
        ssize_t n = readlink(next.c_str(), target.data(), target.size());
        if (n < 0) return FailErrno();
        if (static_cast<size_t>(n) >= target.size()) {
          SetLastError(ERROR_FILENAME_EXCED_RANGE);  // changed while it was read
          return false;
        }
        std::string t(target.data(), static_cast<size_t>(n));
        if (!t.empty() && t[0] == '/') resolved = "/";
        std::vector<std::string> comps;
        AppendComponents(t, comps);
        for (auto it = comps.rbegin(); it != comps.rend(); ++it) todo.push_back(*it);
        continue;
      }
    }
    resolved = std::move(next);
  }
  out = std::move(resolved);
  return true;
}

}  // namespace

int PathIsInside(const char* root, const char* path) {
  std::string r, p;
  if (!ResolveLoosely(root, r) || !ResolveLoosely(path, p)) return -1;
  if (r == "/") return 1;
  if (p.compare(0, r.size(), r) != 0) return 0;
  return p.size() == r.size() || p[r.size()] == '/' ? 1 : 0;
}

BOOL CreateDirectoryTree(const char* path) {
  std::string p = path;
  for (size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      std::string part = p.substr(0, i);
      struct stat st;
      if (stat(part.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
          SetLastError(ERROR_PATH_NOT_FOUND);
          return FALSE;
        }
        continue;
      }
      if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return FailErrno();
    }
  }
  return TRUE;
}
