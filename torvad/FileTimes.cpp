#include "torvad/FileTimes.h"

#include <cstdio>
#include <cstring>

#include "common/strutil.h"
#include "torvad/CommandDispatch.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/Paths.h"
#include "torvad/SessionIo.h"

namespace {

constexpr const char kSyntax[] = "501 Syntax error in parameters or arguments.";
constexpr const char kNotFound[] = "550 Requested action not taken. (not found)";
constexpr const char kCannotAccess[] = "550 Requested action not taken. (cannot access)";

int Digits(const char* p, int count) {
  int v = 0;
  for (int i = 0; i < count; ++i) v = v * 10 + (p[i] - '0');
  return v;
}

// Local path of a regular file that a command names; false after replying
// (the session goes on). Directories, devices and pipes have no time here.
bool RegularFileOf(FtpTbl* ftp, SOCKET sock, const char* name, char (&path)[kLocalPathSize]) {
  if (PathResolve(ftp, sock, name, path) != 0) return false;
  int regular = IsRegularFile(path);
  if (regular == 1) return true;
  const DWORD err = regular < 0 ? GetLastError() : ERROR_ACCESS_DENIED;
  LogWrite(3, "Cannot open. (%d)", static_cast<int>(err));
  ReplySend(ftp, sock, err == ERROR_FILE_NOT_FOUND ? kNotFound : kCannotAccess);
  return false;
}

// Days of a month of the Gregorian calendar; 0 for no month.
int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace

bool ParseTimeVal(const char* text, FILETIME* out) {
  for (int i = 0; i < 14; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  if (text[14] != '\0') return false;
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(Digits(text, 4));
  st.wMonth = static_cast<WORD>(Digits(text + 4, 2));
  st.wDay = static_cast<WORD>(Digits(text + 6, 2));
  st.wHour = static_cast<WORD>(Digits(text + 8, 2));
  st.wMinute = static_cast<WORD>(Digits(text + 10, 2));
  st.wSecond = static_cast<WORD>(Digits(text + 12, 2));
  // The day is checked here too: not every system's conversion refuses a
  // 29 February of a common year.
  if (st.wDay < 1 || st.wDay > DaysInMonth(st.wYear, st.wMonth)) return false;
  return SystemTimeToFileTime(&st, out) != FALSE;
}

bool FormatTimeVal(const FILETIME& time, char (&out)[16]) {
  SYSTEMTIME st;
  if (!FileTimeToSystemTime(&time, &st)) return false;
  return torva::FormatInto(out, "%04d%02d%02d%02d%02d%02d", st.wYear, st.wMonth, st.wDay, st.wHour,
                           st.wMinute, st.wSecond);
}

int CmdMdtm(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: MDTM");
  if (!RequireLogin(ftp, sock)) return -1;
  if (arg == nullptr) {
    ReplySend(ftp, sock, kSyntax);
    return 0;
  }
  char path[kLocalPathSize];
  if (!RegularFileOf(ftp, sock, arg, path)) return 0;
  WIN32_FILE_ATTRIBUTE_DATA data;
  char when[16];
  if (!GetFileAttributesEx(path, GetFileExInfoStandard, &data) ||
      !FormatTimeVal(data.ftLastWriteTime, when)) {
    ReplySend(ftp, sock, kCannotAccess);
    return 0;
  }
  ReplySend(ftp, sock, "213 %s", when);
  return 0;
}

int CmdMfmt(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: MFMT");
  if (!RequireLogin(ftp, sock)) return -1;
  // MFMT YYYYMMDDHHMMSS path
  char* name = arg != nullptr ? strchr(arg, ' ') : nullptr;
  if (name == nullptr) {
    ReplySend(ftp, sock, kSyntax);
    return 0;
  }
  *name++ = '\0';
  while (*name == ' ') ++name;
  CutLineEnd(ftp, name);
  FILETIME when;
  if (name[0] == '\0' || !ParseTimeVal(arg, &when)) {
    ReplySend(ftp, sock, kSyntax);
    return 0;
  }
  if (!CheckWritable(ftp, sock)) return 0;
  char path[kLocalPathSize];
  if (!RegularFileOf(ftp, sock, name, path)) return 0;
  HANDLE file = CreateFile(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE || !SetFileTime(file, nullptr, nullptr, &when)) {
    LogWrite(3, "Cannot set the time. (%d)", static_cast<int>(GetLastError()));
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    ReplySend(ftp, sock, kCannotAccess);
    return 0;
  }
  CloseHandle(file);
  ReplySend(ftp, sock, "213 Modify=%s; %s", arg, name);
  return 0;
}
