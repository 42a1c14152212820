#include "torvad/Listing.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "common/strutil.h"
#include "platform/unique_handle.h"
#include "torvad/ConfigTbl.h"
#include "torvad/DataConn.h"
#include "torvad/Kanji.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/Paths.h"
#include "torvad/SessionIo.h"
#include "torvad/Tls.h"

namespace {

constexpr const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// Longest text of one line before its CR LF, as every data-connection line.
constexpr size_t kLineText = 1021;
// Lines are gathered into blocks of this size before they are sent: a
// directory of thousands of entries then takes a few sends instead of one per
// entry.
constexpr size_t kBatchSize = size_t{64} * 1024;

bool IsDots(const char* name) { return strcmp(name, ".") == 0 || strcmp(name, "..") == 0; }

// Writes a block on the data connection, logging a failure as the line
// writer of the data connection does.
bool WriteBlock(FtpTbl* ftp, const char* data, size_t length) {
  if (ftp->data_ssl != nullptr) {
    while (length > 0) {
      int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
      int n = TlsWrite(ftp->data_ssl, data, chunk);
      if (n <= 0) {
        int err = TlsGetError(ftp->data_ssl, n);
        TlsPrintErrors();
        LogWrite(2, "SSL_write() error. (ret=%d/err=%d)", n, err);
        return false;
      }
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }
  if (SockSendAll(ftp->data_sock, data, static_cast<int>(length)) == SOCKET_ERROR) {
    LogFailed(2, "send", static_cast<DWORD>(SockLastError()));
    return false;
  }
  return true;
}

// The lines of one listing. Each line gets CR LF and, when the session says
// so, is converted to UTF-8 exactly as a single line on the data connection
// would be; lines are then sent in blocks. A failed send fails the line that
// filled the block and every later one.
class LineSink {
 public:
  explicit LineSink(FtpTbl* ftp)
      : ftp_(ftp),
        block_(new (std::nothrow) char[kBatchSize]),
        convert_(ftp->utf8_mode == 1 && Config().utf8_ctrl_only == 0 && ftp->lang == LANG_JA) {}

  bool Line(const char* text) {
    if (failed_) return false;
    if (!block_) {
      // No memory for a block: the lines go out one by one.
      if (DataTextSend(ftp_, "%s", text) != 0) failed_ = true;
      return !failed_;
    }
    char line[kLineText + 3];
    size_t n = strnlen(text, kLineText);
    memcpy(line, text, n);
    line[n++] = '\r';
    line[n++] = '\n';
    line[n] = '\0';
    char* converted = convert_ ? SjisToUtf8(line) : nullptr;
    const char* out = converted ? converted : line;
    size_t len = converted ? strlen(converted) : n;
    if (used_ + len > kBatchSize && !Flush()) {
      free(converted);
      return false;
    }
    if (len > kBatchSize) {
      if (!WriteBlock(ftp_, out, len)) failed_ = true;
    } else {
      memcpy(block_.get() + used_, out, len);
      used_ += len;
    }
    free(converted);
    return !failed_;
  }

  bool Flush() {
    if (failed_) return false;
    if (used_ > 0 && !WriteBlock(ftp_, block_.get(), used_)) failed_ = true;
    used_ = 0;
    return !failed_;
  }

 private:
  FtpTbl* ftp_;
  std::unique_ptr<char[]> block_;
  size_t used_ = 0;
  bool convert_;
  bool failed_ = false;
};

ListEntry EntryOf(const WIN32_FIND_DATA& fd, const ListFrame& frame) {
  ListEntry e{};
  e.name = fd.cFileName;
  e.attributes = fd.dwFileAttributes;
  e.size = (static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
  if (!frame.names_only) {
    const bool ok = frame.time == EntryTime::kUtc
                        ? FileTimeToSystemTime(&fd.ftLastWriteTime, &e.time)
                        : FileTimeToLocalSystemTime(&fd.ftLastWriteTime, &e.time);
    if (!ok) memset(&e.time, 0, sizeof e.time);
  }
  return e;
}

bool IsTopDir(const char* virt) { return virt[0] == '\\' && virt[1] == '\0'; }

}  // namespace

ListView ViewOf(const FtpTbl*, const char* virt) {
  ListView v{};
  v.at_top = IsTopDir(virt);
  v.no_list_dir = Config().no_list_dir != 0;
  SYSTEMTIME now;
  GetLocalTime(&now);
  v.current_year = now.wYear;
  return v;
}

// A names-only listing reads no more of each entry than its name and type.
int RunListing(FtpTbl* ftp, SOCKET sock, LineFormatter format, const ListView& view,
               const ListFrame& frame) {
  if (int r = DataOpen(ftp, sock, 0); r != 0) return r > 0 ? 0 : -1;
  LineSink out(ftp);
  char line[kLineText + 1];
  bool ok = true;
  if (frame.title) {
    if (IsTopDir(frame.virt)) {
      torva::CopyTruncated(line, "List of root-directory");
    } else {
      char shown[1100];
      DisplayDir(ftp, frame.virt, shown, sizeof shown);
      torva::FormatInto(line, "List of %s", shown);
    }
    ok = out.Line(line);
  }

  char dir[2100] = "";
  char pattern[2100] = "";
  bool fits =
      LocalDirOfVirtual(ftp, frame.virt, dir, sizeof dir) && torva::FormatInto(pattern, "%s*", dir);
  LogWrite(4, "Access directory: [%s]", pattern);
  UniqueFind search;
  WIN32_FIND_DATA fd;
  if (!fits) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
  } else if (!StaysInsideTop(ftp, dir)) {
    // The current directory was entered inside the tree, but a link put in
    // its place since leads out of it.
    SetLastError(ERROR_ACCESS_DENIED);
  } else {
    search.Reset(frame.names_only ? FindFirstFileNames(pattern, &fd) : FindFirstFile(pattern, &fd));
  }
  if (ok && !search) {
    torva::FormatInto(line, "Cannot access. (%d)", static_cast<int>(GetLastError()));
    ok = out.Line(line);
  } else if (ok) {
    do {
      // A name with a line end in it would put a line of its own making into
      // the listing.
      if (NameFitsOnALine(fd.cFileName) && format(EntryOf(fd, frame), view, line, sizeof line))
        ok = out.Line(line);
    } while (ok && FindNextFile(search.Get(), &fd));
  }
  if (ok) out.Flush();
  DataClose(ftp);
  ReplySend(ftp, sock, "226 Closing data connection.");
  return 0;
}

namespace {

// Date and time columns of the default format.
int DateTime(char* out, size_t size, const SYSTEMTIME& t) {
  return snprintf(out, size, "%04d/%02d/%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
}

}  // namespace

ListChoice ChooseListFormat(int list_type, int list_type_unix, const char* arg) {
  switch (list_type) {
    case LIST_DEFAULT: return {ListFormat::kDefault, arg};
    case LIST_UNIX: return {ListFormat::kUnix, "-lLa"};
    case LIST_NAMEONLY: return {ListFormat::kNames, arg};
    default: break;
  }
  if (list_type_unix) return {ListFormat::kUnix, arg != nullptr ? arg : "-lLa"};
  if (arg == nullptr) return {ListFormat::kDefault, nullptr};
  if (arg[0] == '-') return {ListFormat::kUnix, arg};
  return {ListFormat::kDefault, arg};
}

bool DefaultLine(const ListEntry& e, const ListView& v, char* out, size_t size) {
  const bool dir = (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (dir && v.no_list_dir) return false;
  if (v.no_dots && IsDots(e.name)) return false;
  char when[64];
  DateTime(when, sizeof when, e.time);
  if (dir || (e.attributes & FILE_ATTRIBUTE_NORMAL) != 0) {
    if (v.at_top && IsDots(e.name)) return false;
    snprintf(out, size, "%s %s [%s]", when, "                 ", e.name);
    return true;
  }
  if ((e.attributes & FILE_ATTRIBUTE_HIDDEN) != 0) return false;
  if ((e.size >> 32) != 0) {
    snprintf(out, size, "%s %s byte %s", when, "????????????", e.name);
  } else {
    snprintf(out, size, "%s %12u byte %s", when, static_cast<unsigned>(e.size), e.name);
  }
  return true;
}

bool UnixLine(const ListEntry& e, const ListView& v, char* out, size_t size) {
  if (!v.show_hidden && (e.attributes & FILE_ATTRIBUTE_HIDDEN) != 0) return false;
  if (!v.show_dots && IsDots(e.name)) return false;
  const bool dir = (e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (dir && v.no_list_dir) return false;
  char mode[11];
  snprintf(mode, sizeof mode, "%c%s", dir ? 'd' : '-',
           (e.attributes & FILE_ATTRIBUTE_READONLY) != 0 ? "r-xr-xr-x" : "rwxrwxrwx");
  const char* month =
      e.time.wMonth >= 1 && e.time.wMonth <= 12 ? kMonths[e.time.wMonth - 1] : "???";
  // The whole size: clients that mirror or resume compare it with the file.
  const unsigned long long bytes = e.size;
  if (e.time.wYear == v.current_year) {
    snprintf(out, size, "%s 1 username groupnam %12llu %s %2d %02d:%02d %s", mode, bytes, month,
             e.time.wDay, e.time.wHour, e.time.wMinute, e.name);
  } else {
    snprintf(out, size, "%s 1 username groupnam %12llu %s %2d %4d %s", mode, bytes, month,
             e.time.wDay, e.time.wYear, e.name);
  }
  return true;
}

bool NameLine(const ListEntry& e, const ListView& v, char* out, size_t size) {
  if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && v.no_list_dir) return false;
  if (v.no_dots && IsDots(e.name)) return false;
  torva::CopyTruncated(out, size, e.name);
  return true;
}

namespace {

// A classic listing: the current directory under its title line.
ListFrame CurrentDirFrame(const FtpTbl* ftp, bool names_only) {
  return ListFrame{ftp->cur_dir, true, EntryTime::kLocal, names_only};
}

// The frame's directory, title and dot entries decide what a generator shows.
int RunDefault(FtpTbl* ftp, SOCKET sock, ListView v, ListFrame f) {
  return RunListing(ftp, sock, DefaultLine, v, f);
}

int RunUnix(FtpTbl* ftp, SOCKET sock, const char* options, ListView v, ListFrame f) {
  // The letters count wherever they stand in the text.
  v.show_hidden = options != nullptr && strchr(options, 'a') != nullptr;
  v.show_dots = !v.no_dots && options != nullptr && strchr(options, 'A') != nullptr;
  return RunListing(ftp, sock, UnixLine, v, f);
}

int RunNames(FtpTbl* ftp, SOCKET sock, ListView v, ListFrame f) {
  f.names_only = true;
  return RunListing(ftp, sock, NameLine, v, f);
}

}  // namespace

int ListDefault(FtpTbl* ftp, SOCKET sock, const char*) {
  return RunDefault(ftp, sock, ViewOf(ftp, ftp->cur_dir), CurrentDirFrame(ftp, false));
}

int ListUnix(FtpTbl* ftp, SOCKET sock, const char* options) {
  return RunUnix(ftp, sock, options, ViewOf(ftp, ftp->cur_dir), CurrentDirFrame(ftp, false));
}

int ListNames(FtpTbl* ftp, SOCKET sock, const char*) {
  return RunNames(ftp, sock, ViewOf(ftp, ftp->cur_dir), CurrentDirFrame(ftp, true));
}

bool SplitListArgument(char* arg, char* options, size_t size, const char** path) {
  options[0] = '\0';
  size_t used = 0;
  char* p = arg;
  for (;;) {
    while (*p == ' ') ++p;
    if (*p != '-') break;
    char* end = p;
    while (*end != '\0' && *end != ' ') ++end;
    const size_t len = static_cast<size_t>(end - p);
    if (used + len + 2 > size) return false;
    if (used > 0) options[used++] = ' ';
    memcpy(options + used, p, len);
    used += len;
    options[used] = '\0';
    p = end;
  }
  *path = p;
  return true;
}

namespace {

int RunChoice(FtpTbl* ftp, SOCKET sock, const ListChoice& c, const ListView& v,
              const ListFrame& f) {
  switch (c.format) {
    case ListFormat::kUnix: return RunUnix(ftp, sock, c.text, v, f);
    case ListFormat::kNames: return RunNames(ftp, sock, v, f);
    case ListFormat::kDefault: break;
  }
  return RunDefault(ftp, sock, v, f);
}

// Both commands need a PORT or PASV first; without one the session ends.
bool DataModeSet(FtpTbl* ftp, SOCKET sock) {
  if (ftp->port_mode != 0 || ftp->pasv_mode != 0) return true;
  ReplySend(ftp, sock, "530 Not logged in.");
  return false;
}

// LIST and NLST. With list-standard the argument's words that begin with '-'
// are the options and the rest names the directory; the listing has no title
// and NLST leaves the dot entries out.
int RunListCommand(FtpTbl* ftp, SOCKET sock, char* arg, int list_type, bool nlst) {
  if (!DataModeSet(ftp, sock)) return -1;
  if (!Config().list_standard) {
    return RunChoice(ftp, sock, ChooseListFormat(list_type, Config().list_type_unix, arg),
                     ViewOf(ftp, ftp->cur_dir), CurrentDirFrame(ftp, false));
  }
  char virt[1024];
  torva::CopyTruncated(virt, ftp->cur_dir);
  char options[1024] = "";
  const char* path = "";
  if (arg != nullptr) {
    CutLineEnd(ftp, arg);
    if (!SplitListArgument(arg, options, sizeof options, &path)) path = "";
  }
  if (path[0] != '\0' && !ResolveDirectory(ftp, path, virt)) {
    DataClose(ftp);
    ReplySend(ftp, sock, "550 Requested action not taken.");
    return 0;
  }
  ListView view = ViewOf(ftp, virt);
  view.no_dots = nlst;
  const ListFrame frame{virt, false, EntryTime::kLocal, false};
  return RunChoice(
      ftp, sock,
      ChooseListFormat(list_type, Config().list_type_unix, options[0] != '\0' ? options : nullptr),
      view, frame);
}

}  // namespace

int CmdList(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: LIST");
  return RunListCommand(ftp, sock, arg, Config().list_type_list, false);
}

int CmdNlst(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: NLST");
  return RunListCommand(ftp, sock, arg, Config().list_type_nlst, true);
}
