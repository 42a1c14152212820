#include "torvad/Paths.h"

#include <cstdint>
#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Kanji.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/SessionIo.h"
#include "tvusers/tvusers.h"

namespace {

constexpr const char kSyntax[] = "501 Syntax error in parameters or arguments.";
constexpr const char kNotTaken[] = "550 Requested action not taken.";
constexpr const char kNotFound[] = "550 Requested action not taken. (not found)";
constexpr const char kCannotAccess[] = "550 Requested action not taken. (cannot access)";
constexpr const char kDone[] = "250 Requested file action okay, completed.";

// Size of local directory paths built from root_dir and cur_dir.
constexpr size_t kLocalDirSize = 2048;

bool IsTop(const char* virt) { return virt[0] == '\\' && virt[1] == '\0'; }

// Replaces every `from` by `to` in place, skipping Shift_JIS second bytes
// while the session's language is "ja".
void ReplaceChar(const FtpTbl* ftp, char* text, char from, char to) {
  for (char* p = SjisStrchr(ftp, text, from); p != nullptr; p = SjisStrchr(ftp, p + 1, from))
    *p = to;
}

// Appends a virtual path to a local one, its '\' turned into the platform
// separator. false when the result does not fit.
bool AppendLocal(const FtpTbl* ftp, char* out, size_t size, const char* virt) {
  size_t used = strlen(out);
  size_t add = strlen(virt);
  if (used + add + 1 > size) return false;
  memcpy(out + used, virt, add + 1);
  ReplaceChar(ftp, out + used, '\\', torva::kPathSep);
  return true;
}

// Local path of a virtual directory path ("\" or "a\b\").
bool LocalDirOf(const FtpTbl* ftp, const char* virt, char* out, size_t size) {
  if (torva::CopyTruncated(out, size, ftp->root_dir) != strlen(ftp->root_dir)) return false;
  return IsTop(virt) || AppendLocal(ftp, out, size, virt);
}

void DisplayOf(const FtpTbl* ftp, const char* virt, char* out, size_t size) {
  if (IsTop(virt)) {
    torva::Format(out, size, "%c", Config().dir_separator);
    return;
  }
  char shown[1024];
  torva::CopyTruncated(shown, virt);
  ReplaceChar(ftp, shown, '\\', Config().dir_separator);
  torva::Format(out, size, "%c%s", Config().dir_separator, shown);
}

// A name holding CR or LF would end a reply, a listing line or a log line in
// the middle, and the rest would read as a line of the server's own; a NUL
// cuts the client's line short, so the name seen is not the name sent. Such a
// line is refused as a whole, whatever the cuts at the line end left of it:
// a Shift_JIS lead byte hides a CR from the cut, and a second cut would make
// "a LF b" the name "a".
bool NameIsClean(const FtpTbl* ftp, const char* name) {
  return ftp->line_has_break == 0 && NameFitsOnALine(name);
}

// ---- the directory walk shared by CWD, MKD and RMD ----

// Removes the last component of a virtual directory path ("a\b\" -> "a\",
// "a\" -> "\").
void DropLast(const FtpTbl* ftp, char (&path)[1024]) {
  size_t len = strlen(path);
  path[len - 1] = '\0';
  char* sep = SjisStrrchr(ftp, path, '\\');
  if (sep != nullptr)
    sep[1] = '\0';
  else
    torva::CopyTruncated(path, "\\");
}

}  // namespace

WalkResult WalkStep(const FtpTbl* ftp, char (&path)[1024], const char* comp, Walk mode) {
  if (strcmp(comp, "..") == 0) {
    if (IsTop(path)) return kWalkError;
    DropLast(ftp, path);
    return kWalkOk;
  }
  if (comp[0] == '\0' || strcmp(comp, ".") == 0) return kWalkOk;
  // A component names one local directory. The local separator inside it (a
  // '/' that this command does not split at, such as MKD's with the display
  // separator '\', or one that follows a Shift_JIS lead byte) would make it
  // several, and "x/../.." would climb out of root_dir.
  if (strpbrk(comp, torva::kPathSepChars) != nullptr) return kWalkError;
  char next[1024];
  bool fits = IsTop(path) ? torva::FormatInto(next, "%s\\", comp)
                          : torva::FormatInto(next, "%s%s\\", path, comp);
  char local[kLocalDirSize];
  if (!fits || !LocalDirOf(ftp, next, local, sizeof local)) return kWalkError;
  if (!StaysInsideTop(ftp, local)) return kWalkError;
  DWORD attrs = GetFileAttributes(local);
  WalkResult result = kWalkOk;
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    if (mode == Walk::kCheck || !CreateDirectory(local, nullptr)) return kWalkError;
    result = kWalkCreated;
  } else if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return kWalkError;
  }
  memcpy(path, next, sizeof next);
  return result;
}

namespace {

// Applies the components of `arg` (split at `sep`, double-byte aware) to
// `path`. Empty components change nothing. kWalkError at the first failing
// step; kWalkCreated when any directory was made.
WalkResult WalkAll(const FtpTbl* ftp, char (&path)[1024], char* arg, char sep, Walk mode) {
  WalkResult overall = kWalkOk;
  char* p = arg;
  while (*p != '\0') {
    char* end = SjisStrchr(ftp, p, sep);
    char* next = end ? end + 1 : p + strlen(p);
    if (end) *end = '\0';
    WalkResult r = WalkStep(ftp, path, p, mode);
    if (r == kWalkError) return kWalkError;
    if (r == kWalkCreated) overall = kWalkCreated;
    p = next;
  }
  return overall;
}

// Start of a walk: the top when the argument begins with a separator (which
// is skipped), else the current directory.
char* WalkStart(const FtpTbl* ftp, char* arg, char (&path)[1024], bool slash_too) {
  if (arg[0] == '\\' || (slash_too && arg[0] == '/')) {
    torva::CopyTruncated(path, "\\");
    return arg + 1;
  }
  torva::CopyTruncated(path, ftp->cur_dir);
  return arg;
}

int ReplyNewCwd(FtpTbl* ftp, SOCKET sock) {
  if (IsTop(ftp->cur_dir))
    return ReplySend(ftp, sock, "250 \"%c\" is new CWD.", Config().dir_separator);
  char shown[1100];
  DisplayOf(ftp, ftp->cur_dir, shown, sizeof shown);
  return ReplySend(ftp, sock, "250 \"%s\" is new CWD.", shown);
}

// Common opening of the file-management commands: log-in and argument, with
// the argument cut at its line end. false when the session ends.
bool Preamble(FtpTbl* ftp, SOCKET sock, const char* name, char* arg) {
  LogWrite(4, "Command: %s", name);
  if (!RequireLoginAndArgument(ftp, sock, arg)) return false;
  CutLineEnd(ftp, arg);
  return true;
}

}  // namespace

int PathResolve(FtpTbl* ftp, SOCKET sock, const char* name, char (&out)[kLocalPathSize]) {
  char work[1024];
  torva::CopyTruncated(work, name);
  CutLineEnd(ftp, work);
  if (!NameIsClean(ftp, work)) {
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  ReplaceChar(ftp, work, '/', '\\');
  if (strstr(work, "..") != nullptr) {
    ReplySend(ftp, sock, "501 The file including \"..\" cannot be treated.");
    return -1;
  }
  out[0] = '\0';
  bool fits = torva::CopyTruncated(out, ftp->root_dir) == strlen(ftp->root_dir);
  if (fits && work[0] != '\\' && !IsTop(ftp->cur_dir))
    fits = AppendLocal(ftp, out, sizeof out, ftp->cur_dir);
  if (fits) fits = AppendLocal(ftp, out, sizeof out, work);
  // Refused rather than shortened: a cut path names another file. A path
  // that links lead out of the top directory is outside like any other.
  if (!fits || !StaysInsideTop(ftp, out)) {
    ReplySend(ftp, sock, kNotTaken);
    return -1;
  }
  return 0;
}

bool StaysInsideTop(const FtpTbl* ftp, const char* local) {
  return Config().symlinks_outside != 0 || PathIsInside(ftp->root_dir, local) == 1;
}

bool NameFitsOnALine(const char* name) { return strpbrk(name, "\r\n") == nullptr; }

bool LocalCurrentDir(const FtpTbl* ftp, char* out, size_t size) {
  return LocalDirOf(ftp, ftp->cur_dir, out, size);
}

void DisplayCurrentDir(const FtpTbl* ftp, char* out, size_t size) {
  DisplayOf(ftp, ftp->cur_dir, out, size);
}

bool UserMayWrite(const FtpTbl* ftp) {
  if (ftp->anonymous) return Config().anonymous_write != 0;
  int32_t code = 0;
  return tvusers_is_writable(&code, ftp->user_name) != 0;
}

int CheckWritable(FtpTbl* ftp, SOCKET sock) {
  bool ok = UserMayWrite(ftp);
  if (!ok) ReplySend(ftp, sock, "550 No permission.");
  return ok ? 1 : 0;
}

bool ResolveDirectory(const FtpTbl* ftp, const char* arg, char (&virt)[1024]) {
  char work[1024];
  torva::CopyTruncated(work, arg);
  CutLineEnd(ftp, work);
  if (!NameIsClean(ftp, work)) return false;
  ReplaceChar(ftp, work, '/', '\\');
  char* rest = WalkStart(ftp, work, virt, false);
  return WalkAll(ftp, virt, rest, '\\', Walk::kCheck) != kWalkError;
}

bool LocalDirOfVirtual(const FtpTbl* ftp, const char* virt, char* out, size_t size) {
  return LocalDirOf(ftp, virt, out, size);
}

void DisplayDir(const FtpTbl* ftp, const char* virt, char* out, size_t size) {
  DisplayOf(ftp, virt, out, size);
}

int CmdCwd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  if (!Preamble(ftp, sock, "CWD", arg)) return -1;
  char path[1024];
  if (!ResolveDirectory(ftp, arg, path)) {
    ReplySend(ftp, sock, kNotTaken);
    return 0;
  }
  torva::CopyTruncated(ftp->cur_dir, path);
  ReplyNewCwd(ftp, sock);
  return 0;
}

int CmdCdup(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: CDUP");
  if (!RequireLogin(ftp, sock)) return -1;
  if (IsTop(ftp->cur_dir)) {
    ReplySend(ftp, sock, kNotTaken);
    return 0;
  }
  DropLast(ftp, ftp->cur_dir);
  ReplyNewCwd(ftp, sock);
  return 0;
}

int CmdPwd(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: PWD");
  if (!RequireLogin(ftp, sock)) return -1;
  if (IsTop(ftp->cur_dir)) {
    ReplySend(ftp, sock, "257 \"%c\" is CWD.", Config().dir_separator);
    return 0;
  }
  char shown[1100];
  DisplayOf(ftp, ftp->cur_dir, shown, sizeof shown);
  ReplySend(ftp, sock, "257 \"%s\" is CWD.", shown);
  return 0;
}

int CmdMkd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  if (!Preamble(ftp, sock, "MKD", arg)) return -1;
  if (!CheckWritable(ftp, sock)) return 0;
  char path[1024];
  char* rest = WalkStart(ftp, arg, path, true);
  const char sep = Config().dir_separator;
  ReplaceChar(ftp, rest, '\\', sep);
  WalkResult r = NameIsClean(ftp, arg) ? WalkAll(ftp, path, rest, sep, Walk::kCreate) : kWalkError;
  if (r == kWalkError) {
    ReplySend(ftp, sock, "550 Requested action not taken. (Cannot access)");
  } else if (r == kWalkCreated) {
    char shown[1100];
    DisplayOf(ftp, path, shown, sizeof shown);
    ReplySend(ftp, sock, "257 \"%s\" created.", shown);
  } else {
    ReplySend(ftp, sock, "550 Requested action not taken. (Still exist)");
  }
  return 0;
}

int CmdRmd(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  if (!Preamble(ftp, sock, "RMD", arg)) return -1;
  if (!CheckWritable(ftp, sock)) return 0;
  if (strcmp(arg, "\\") == 0) {
    ReplySend(ftp, sock, kNotTaken);
    return 0;
  }
  char path[1024];
  char* rest = WalkStart(ftp, arg, path, true);
  ReplaceChar(ftp, rest, '/', '\\');
  if (!NameIsClean(ftp, arg) || WalkAll(ftp, path, rest, '\\', Walk::kCheck) == kWalkError ||
      IsTop(path)) {
    ReplySend(ftp, sock, kNotTaken);
    return 0;
  }
  path[strlen(path) - 1] = '\0';
  char local[kLocalDirSize];
  if (!LocalDirOf(ftp, path, local, sizeof local)) {
    ReplySend(ftp, sock, kNotTaken);
    return 0;
  }
  LogWrite(3, "Delete directory: [%s]", local);
  if (RemoveDirectory(local))
    ReplySend(ftp, sock, kDone);
  else
    ReplySend(ftp, sock, "550 Requested action not taken. (%d)", static_cast<int>(GetLastError()));
  return 0;
}

int CmdDele(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  if (!Preamble(ftp, sock, "DELE", arg)) return -1;
  if (!CheckWritable(ftp, sock)) return 0;
  char path[kLocalPathSize];
  if (PathResolve(ftp, sock, arg, path) != 0) return 0;
  LogWrite(3, "Deleting: %s", path);
  if (DeleteFile(path))
    ReplySend(ftp, sock, kDone);
  else if (GetLastError() == ERROR_FILE_NOT_FOUND)
    ReplySend(ftp, sock, kNotFound);
  else
    ReplySend(ftp, sock, "450 Requested file action not taken. (cannot access)");
  return 0;
}

int CmdRnfr(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  if (!Preamble(ftp, sock, "RNFR", arg)) return -1;
  if (!CheckWritable(ftp, sock)) return 0;
  char path[kLocalPathSize];
  if (PathResolve(ftp, sock, arg, path) != 0) return 0;
  if (GetFileAttributes(path) == INVALID_FILE_ATTRIBUTES) {
    ReplySend(ftp, sock, kNotTaken);
    return 0;
  }
  LogWrite(3, "Rename from: [%s]", path);
  torva::CopyTruncated(ftp->rename_from, path);
  ReplySend(ftp, sock, "350 Requested file action pending further information.");
  ftp->rename_pending = 1;
  return 0;
}

int CmdRnto(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: RNTO");
  if (!RequireLogin(ftp, sock)) return -1;
  if (!ftp->rename_pending) {
    ReplySend(ftp, sock, "503 Bad sequence of commands.");
    return -1;
  }
  ftp->rename_pending = 0;
  if (arg == nullptr) {
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  CutLineEnd(ftp, arg);
  char path[kLocalPathSize];
  if (PathResolve(ftp, sock, arg, path) != 0) return 0;
  if (GetFileAttributes(path) != INVALID_FILE_ATTRIBUTES) {
    ReplySend(ftp, sock, kNotTaken);
    return 0;
  }
  LogWrite(3, "Rename to: [%s]", path);
  if (MoveFile(ftp->rename_from, path))
    ReplySend(ftp, sock, kDone);
  else
    ReplySend(ftp, sock, "450 Requested file action not taken.");
  return 0;
}

int CmdSize(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  if (!Preamble(ftp, sock, "SIZE", arg)) return -1;
  char path[kLocalPathSize];
  if (PathResolve(ftp, sock, arg, path) != 0) return 0;
  // Only regular files have a size to report; a FIFO is never opened.
  FILE* f = OpenRegularFile(path, "rb");
  if (f == nullptr) {
    DWORD err = GetLastError();
    LogWrite(3, "Cannot open. (%d)", static_cast<int>(err));
    ReplySend(ftp, sock, err == ERROR_FILE_NOT_FOUND ? kNotFound : kCannotAccess);
    return 0;
  }
  int64_t size = FileStreamSize(f);
  fclose(f);
  if (size < 0) {
    ReplySend(ftp, sock, kCannotAccess);
    return 0;
  }
  // The true size, also past 4 GiB.
  if (Config().size_msg_compat)
    ReplySend(ftp, sock, "200 SIZE=%lld", static_cast<long long>(size));
  else
    ReplySend(ftp, sock, "213 %lld", static_cast<long long>(size));
  return 0;
}
