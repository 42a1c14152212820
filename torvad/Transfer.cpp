#include "torvad/Transfer.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/strutil.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "platform/text.h"
#include "platform/unique_handle.h"
#include "torvad/Abort.h"
#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/DataConn.h"
#include "torvad/Kanji.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/Paths.h"
#include "torvad/SessionIo.h"

namespace {

constexpr const char kNoMemory[] = "451 No memory.";
constexpr const char kClosing[] = "226 Closing data connection.";
constexpr const char kSendError[] = "451 Requested action aborted. (send error)";
constexpr const char kRecvError[] = "451 Requested action aborted. (recv error)";
constexpr const char kDiskFull[] = "451 Requested action aborted. (disk full)";
constexpr const char kIoError[] = "451 Requested action aborted. (I/O error)";
constexpr const char kCannotOpen[] = "450 I/O error. (cannot open the file)";
constexpr const char kSyntax[] = "501 Syntax error in parameters or arguments.";
constexpr const char kNotForParameter[] = "504 Command not implemented for that parameter.";
constexpr const char kBadRest[] = "554 Requested action not taken: invalid REST parameter.";

using Buffer = std::unique_ptr<char[]>;

constexpr char kCtrlZ = 0x1A;
// Bytes handed to the system per call when a file goes out straight from the
// file system cache: large enough that the calls themselves cost nothing
// measurable. Each call still gives up once the client has taken nothing for
// session-timeout seconds.
constexpr int64_t kTransmitChunk = 64 << 20;
// The same while the transfer watches for ABOR: it looks at the control
// connection after each chunk.
constexpr int64_t kWatchedChunk = 1 << 20;
// Names STOU tries after the one it was given: name.1 to name.999.
constexpr int kUniqueSuffixes = 999;

// Binary download: whole buffers until the end of the file. false when a
// send failed; a read error shows on the stream.
bool SendBinary(FtpTbl* ftp, FILE* file, char* buf, size_t size) {
  for (;;) {
    size_t n = fread(buf, 1, size, file);
    if (n > 0 && DataSend(ftp, buf, static_cast<int>(n)) != 0) return false;
    if (n < size) return true;
  }
}

// Plain binary download straight from the file system cache: no copy through
// the transfer buffer, until the end of the file. *read_error is set when the
// file could not be read; false when a send failed or the client aborted.
bool TransmitBinary(FtpTbl* ftp, FILE* file, bool* read_error) {
  const bool watched = ftp->watch_ctrl != INVALID_SOCKET;
  int stalled_ms = 0;
  for (;;) {
    if (watched && TransferAbortRequested(ftp)) return false;
    int64_t n = SockTransmitFile(ftp->data_sock, file, watched ? kWatchedChunk : kTransmitChunk);
    if (n == 0) return true;
    if (n > 0) {
      stalled_ms = 0;
      continue;
    }
    int err = SockLastError();
    if (watched && TransferWouldBlock(err)) {
      if (!TransferWait(ftp, true, &stalled_ms)) return false;
      continue;
    }
    if (err >= WSABASEERR) {
      LogFailed(2, "send", static_cast<DWORD>(err));
      return false;
    }
    LogFailed(2, "read", static_cast<DWORD>(err));
    *read_error = true;
    return true;
  }
}

// Text download in the CR LF convention: one send per line, each line up to
// its first zero byte.
bool SendText(FtpTbl* ftp, FILE* file, char* buf, size_t size) {
  bool ended = false;
  while (!ended) {
    size_t n = TextReadLine(file, buf, size - 1, &ended);
    size_t len = strnlen(buf, n);
    if (len > 0 && DataSend(ftp, buf, static_cast<int>(len)) != 0) return false;
  }
  return true;
}

// Text download in the LF convention: blocks of half a buffer, each grown to
// at most a whole one by the CRs put before their LFs.
bool SendTextLf(FtpTbl* ftp, FILE* file, char* buf, size_t size) {
  const size_t half = size / 2;
  bool prev_cr = false;
  for (;;) {
    size_t n = fread(buf, 1, half, file);
    if (n == 0) return true;
    size_t len = ExpandLineEnds(buf, n, &prev_cr);
    if (DataSend(ftp, buf, static_cast<int>(len)) != 0) return false;
    if (n < half) return true;
  }
}

// Upload target check before anything is opened for writing: an existing
// object that cannot be read as a regular file (a directory, a device, a
// FIFO, a socket) is refused. Missing is fine. false after replying 450.
bool UploadTargetOk(FtpTbl* ftp, SOCKET sock, const char* path) {
  if (UniqueFile probe(OpenRegularFile(path, "rb")); probe) return true;
  DWORD err = GetLastError();
  if (err == ERROR_FILE_NOT_FOUND) return true;
  DWORD attrs = GetFileAttributes(path);
  if (IsRegularFile(path) == 0 && attrs != INVALID_FILE_ATTRIBUTES &&
      (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    LogWrite(3, "Cannot open. (specified the device or pipe)");
  } else {
    LogWrite(3, "Cannot open. (%d)", static_cast<int>(err));
  }
  ReplySend(ftp, sock, kCannotOpen);
  return false;
}

// The 226 reply of STOU names the stored file as the client sees it: the
// current directory and the name with its '/' turned into '\'.
void ReplyGenerated(FtpTbl* ftp, SOCKET sock, const char* name) {
  char shown[1024];
  torva::CopyTruncated(shown, name);
  CutLineEnd(ftp, shown);
  for (char* p = SjisStrchr(ftp, shown, '/'); p != nullptr; p = SjisStrchr(ftp, p + 1, '/'))
    *p = '\\';
  if (ftp->cur_dir[0] == '\\' && ftp->cur_dir[1] == '\0')
    ReplySend(ftp, sock, "226 \"\\%s\" was generated.", shown);
  else
    ReplySend(ftp, sock, "226 \"%s%s\" was generated.", ftp->cur_dir, shown);
}

// STOU: creates the first free one of `base`, `base`.1, `base`.2, ... in one
// step (two uploads never get one file). The stream with `chosen` and `path`
// filled, or null after replying (the session goes on).
FILE* CreateUnique(FtpTbl* ftp, SOCKET sock, const char* base, char (&chosen)[1024],
                   char (&path)[kLocalPathSize]) {
  for (int i = 0; i <= kUniqueSuffixes; ++i) {
    bool fits = i == 0 ? torva::FormatInto(chosen, "%s", base)
                       : torva::FormatInto(chosen, "%s.%d", base, i);
    if (!fits) break;
    if (PathResolve(ftp, sock, chosen, path) != 0) return nullptr;
    FILE* f = OpenRegularFileEx(path, "wbx", FILE_SHARE_READ, nullptr);
    if (f != nullptr) return f;
    if (GetLastError() != ERROR_FILE_EXISTS) {
      LogWrite(3, "Cannot open. (%d)", static_cast<int>(GetLastError()));
      ReplySend(ftp, sock, kCannotOpen);
      return nullptr;
    }
  }
  LogWrite(3, "Cannot open. (%d)", static_cast<int>(ERROR_FILE_EXISTS));
  ReplySend(ftp, sock, kCannotOpen);
  return nullptr;
}

// Opens the target of STOR or APPE (never truncated here; see StoreFile).
// null after replying (the session goes on).
FILE* OpenUploadTarget(FtpTbl* ftp, SOCKET sock, const char* path) {
  if (!UploadTargetOk(ftp, sock, path)) return nullptr;
  FILE* f = OpenRegularFileEx(path, "ab", FILE_SHARE_READ, nullptr);
  if (f == nullptr) {
    LogWrite(3, "Cannot open. (%d)", static_cast<int>(GetLastError()));
    ReplySend(ftp, sock, kCannotOpen);
  }
  return f;
}

// Received bytes into the file in the host's text convention or unchanged.
// false when fewer bytes were written than given.
bool WriteReceived(FILE* file, char* data, size_t length, bool text, bool* held_cr) {
  if (!text) return fwrite(data, 1, length, file) == length;
  if (HostTextConvention() == TextConvention::kLf) return TextWriteLf(file, data, length, held_cr);
  size_t len = DropCarriageReturns(data, length);
  return TextWrite(file, data, len) == len;
}

// Reads the number of REST: decimal digits only, at most 18 of them.
bool ParseRestOffset(const char* text, int64_t* out) {
  int64_t v = 0;
  int digits = 0;
  for (const char* p = text; *p != '\0'; ++p, ++digits) {
    if (*p < '0' || *p > '9' || digits >= 18) return false;
    v = v * 10 + (*p - '0');
  }
  if (digits == 0) return false;
  *out = v;
  return true;
}

}  // namespace

int TransferBufferSize() { return Config().buffer_size < 4096 ? 4096 : Config().buffer_size; }

size_t TextReadLine(FILE* file, char* buf, size_t max, bool* ended) {
  size_t n = 0;
  while (n < max) {
    int c = getc(file);
    if (c == EOF || c == kCtrlZ) {
      *ended = true;
      break;
    }
    if (c == '\r') {
      int next = getc(file);
      if (next == '\n')
        c = '\n';
      else if (next != EOF)
        ungetc(next, file);
    }
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  return n;
}

size_t DropCarriageReturns(char* data, size_t length) {
  char* cr = static_cast<char*>(memchr(data, '\r', length));
  if (cr == nullptr) return length;
  char* out = cr;
  for (const char* in = cr; in < data + length; ++in)
    if (*in != '\r') *out++ = *in;
  return static_cast<size_t>(out - data);
}

size_t ExpandLineEnds(char* data, size_t length, bool* prev_cr) {
  size_t lone = 0;
  for (size_t i = 0; i < length; ++i)
    if (data[i] == '\n' && !(i == 0 ? *prev_cr : data[i - 1] == '\r')) ++lone;
  const bool last_cr = length > 0 ? data[length - 1] == '\r' : *prev_cr;
  // From the end backwards: every byte moves up by the CRs still to come
  // before it, so nothing is overwritten before it has been read.
  size_t j = length + lone;
  for (size_t i = length; i-- > 0;) {
    const char c = data[i];
    const bool add_cr = c == '\n' && !(i == 0 ? *prev_cr : data[i - 1] == '\r');
    data[--j] = c;
    if (add_cr) data[--j] = '\r';
  }
  *prev_cr = last_cr;
  return length + lone;
}

bool TextWriteLf(FILE* file, char* data, size_t length, bool* held_cr) {
  if (*held_cr) {
    *held_cr = false;
    // The held CR was the end of a line only when this block starts with LF.
    if ((length == 0 || data[0] != '\n') && fwrite("\r", 1, 1, file) != 1) return false;
  }
  size_t out = 0;
  for (size_t i = 0; i < length; ++i) {
    if (data[i] == '\r') {
      if (i + 1 == length) {
        *held_cr = true;
        continue;
      }
      if (data[i + 1] == '\n') continue;
    }
    data[out++] = data[i];
  }
  return out == 0 || fwrite(data, 1, out, file) == out;
}

void GeneratedUniqueName(char* out, size_t size) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  torva::Format(out, size, "stou-%04d%02d%02d-%02d%02d%02d-%X", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, static_cast<unsigned>(GetCurrentThreadId()));
}

size_t TextWrite(FILE* file, const char* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const char* start = data + done;
    const char* lf = static_cast<const char*>(memchr(start, '\n', length - done));
    size_t run = lf ? static_cast<size_t>(lf - start) : length - done;
    if (run > 0) {
      size_t w = fwrite(start, 1, run, file);
      done += w;
      if (w < run) return done;
    }
    if (lf != nullptr) {
      if (fwrite("\r\n", 1, 2, file) != 2) return done;
      ++done;
    }
  }
  return done;
}

int CmdType(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: TYPE");
  if (!RequireLoginAndArgument(ftp, sock, arg)) return -1;
  switch (arg[0]) {
    case 'A':
      ftp->binary_type = 0;
      ReplySend(ftp, sock, "200 TYPE Command okay. (Type is ASCII)");
      return 0;
    case 'I':
      ftp->binary_type = 1;
      ReplySend(ftp, sock, "200 TYPE Command okay. (Type is BINARY)");
      return 0;
    default: ReplySend(ftp, sock, "504 Command not implemented for that parameter."); return -1;
  }
}

int CmdRetr(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: RETR");
  const int64_t offset = ftp->rest_offset;
  ftp->rest_offset = 0;
  if (!RequireLoginAndArgument(ftp, sock, arg)) return -1;
  const size_t size = static_cast<size_t>(TransferBufferSize());
  // One byte more than a buffer: room for the end of a text line.
  Buffer buf(new (std::nothrow) char[size + 1]);
  if (!buf) {
    ReplySend(ftp, sock, kNoMemory);
    return -1;
  }
  char path[kLocalPathSize];
  if (PathResolve(ftp, sock, arg, path) != 0) return 0;
  LogWrite(3, "Sending: %s", path);
  // Only regular files are sent: opening a FIFO would block the session, a
  // device would never end. Both count as not accessible.
  UniqueFile file(OpenRegularFile(path, "rb"));
  if (!file) {
    DWORD err = GetLastError();
    LogWrite(3, "Cannot open. (%d)", static_cast<int>(err));
    ReplySend(ftp, sock,
              err == ERROR_FILE_NOT_FOUND ? "550 Requested action not taken. (not found)"
                                          : "550 Requested action not taken. (cannot access)");
    return 0;
  }
  const bool binary = ftp->binary_type == 1;
  // Binary reads go straight into the transfer buffer, without a second
  // copy through the stream's own.
  if (binary) setvbuf(file.Get(), nullptr, _IONBF, 0);
  if (offset > 0) {
    // A byte offset names no place in text whose line ends change on the way.
    if (!binary) {
      ReplySend(ftp, sock, kNotForParameter);
      return 0;
    }
    if (offset > FileStreamSize(file.Get())) {
      ReplySend(ftp, sock, kBadRest);
      return 0;
    }
    if (!FileStreamSeek(file.Get(), offset)) {
      LogWrite(3, "Cannot open. (%d)", static_cast<int>(GetLastError()));
      ReplySend(ftp, sock, "550 Requested action not taken. (cannot access)");
      return 0;
    }
  }
  if (int r = DataOpen(ftp, sock, ftp->binary_type); r != 0) return r > 0 ? 0 : -1;
  TransferWatchBegin(ftp, sock);

  bool read_error = false;
  bool sent;
  if (binary && ftp->data_ssl == nullptr)
    sent = TransmitBinary(ftp, file.Get(), &read_error);
  else if (binary)
    sent = SendBinary(ftp, file.Get(), buf.get(), size);
  else if (HostTextConvention() == TextConvention::kLf)
    sent = SendTextLf(ftp, file.Get(), buf.get(), size);
  else
    sent = SendText(ftp, file.Get(), buf.get(), size);
  if (!sent) {
    if (Config().cmd_enable[CMD_ABOR]) {
      ReplyTransferAborted(ftp, sock);
      return 0;
    }
    ReplySend(ftp, sock, kSendError);
    DataClose(ftp);
    return -1;
  }
  DataClose(ftp);
  if (read_error || ferror(file.Get())) {
    ReplySend(ftp, sock, kIoError);
    return -1;
  }
  ReplySend(ftp, sock, kClosing);
  return 0;
}

int StoreFile(FtpTbl* ftp, SOCKET sock, const char* name, const char* mode, int unique) {
  const bool replace = mode[0] == 'w';
  const int64_t offset = replace && !unique ? ftp->rest_offset : 0;
  ftp->rest_offset = 0;
  // STOU makes up a name when it is given none.
  if (unique ? !RequireLogin(ftp, sock) : !RequireLoginAndArgument(ftp, sock, name)) return -1;
  if (!CheckWritable(ftp, sock)) return 0;
  // Refused before the target is opened, which would create it.
  if (!DataProtectionOk(ftp, sock)) return 0;
  const bool text = strpbrk(mode, "tT") != nullptr;
  if (offset > 0 && text) {
    ReplySend(ftp, sock, kNotForParameter);
    return 0;
  }
  const size_t size = static_cast<size_t>(TransferBufferSize());
  Buffer buf(new (std::nothrow) char[size]);
  if (!buf) {
    ReplySend(ftp, sock, kNoMemory);
    return -1;
  }
  char path[kLocalPathSize];
  char chosen[1024] = "";
  UniqueFile file;
  if (unique) {
    char base[1024] = "";
    if (name != nullptr) {
      torva::CopyTruncated(base, name);
      CutLineEnd(ftp, base);
    }
    if (base[0] == '\0') GeneratedUniqueName(base, sizeof base);
    file.Reset(CreateUnique(ftp, sock, base, chosen, path));
    if (!file) return 0;
    LogWrite(3, "Receiving: %s", path);
  } else {
    if (PathResolve(ftp, sock, name, path) != 0) return 0;
    LogWrite(3, "Receiving: %s", path);
    // Opened for appending even when the upload replaces the file: the old
    // content is only dropped once the data connection stands, so a refused
    // or failed connection leaves the file as it was. The upload holds the
    // file from here to its end: a second upload to it is refused instead of
    // writing into the same bytes, and the holder finishes alone.
    file.Reset(OpenUploadTarget(ftp, sock, path));
    if (!file) return 0;
    if (offset > 0 && offset > FileStreamSize(file.Get())) {
      ReplySend(ftp, sock, kBadRest);
      return 0;
    }
  }
  if (!text) setvbuf(file.Get(), nullptr, _IONBF, 0);
  if (int r = DataOpen(ftp, sock, ftp->binary_type); r != 0) {
    // The file STOU created for this upload holds nothing: it goes again.
    if (unique) {
      file.Reset();
      if (!DeleteFile(path))
        LogWrite(2, "Cannot delete \"%s\" (%d)", path, static_cast<int>(GetLastError()));
    }
    return r > 0 ? 0 : -1;
  }
  TransferWatchBegin(ftp, sock);
  // A file that is empty already (a new one) is left alone: file systems
  // that see a file truncated to nothing take it for a replacement in
  // progress and write the whole upload out when it is closed, which holds up
  // the session for as long. A restarted upload keeps the bytes before its
  // offset and replaces the rest.
  if (replace && !unique && FileStreamSize(file.Get()) != offset &&
      !FileStreamSetSize(file.Get(), offset)) {
    LogWrite(2, "Cannot truncate. (%d)", static_cast<int>(GetLastError()));
    ReplySend(ftp, sock, kIoError);
    DataClose(ftp);
    return -1;
  }

  const char* failure = nullptr;
  bool held_cr = false;
  for (;;) {
    int n = static_cast<int>(size);
    if (DataRecv(ftp, buf.get(), &n) != 0) {
      failure = kRecvError;
      break;
    }
    if (n == 0) break;  // the client has sent everything
    if (!WriteReceived(file.Get(), buf.get(), static_cast<size_t>(n), text, &held_cr)) {
      failure = kDiskFull;
      break;
    }
  }
  if (failure == kRecvError && Config().cmd_enable[CMD_ABOR]) {
    ReplyTransferAborted(ftp, sock);
    return 0;
  }
  // The end of the data: a CR held back at the end of the last block.
  if (failure == nullptr && text && !WriteReceived(file.Get(), buf.get(), 0, text, &held_cr))
    failure = kDiskFull;
  if (failure != nullptr) {
    ReplySend(ftp, sock, "%s", failure);
    DataClose(ftp);
    return -1;
  }
  DataClose(ftp);
  if (fflush(file.Get()) != 0 || ferror(file.Get())) {
    ReplySend(ftp, sock, kIoError);
    return -1;
  }
  if (unique)
    ReplyGenerated(ftp, sock, chosen);
  else
    ReplySend(ftp, sock, kClosing);
  return 0;
}

int CmdStor(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: STOR");
  return StoreFile(ftp, sock, arg, ftp->binary_type == 1 ? "wb" : "wt", 0);
}

int CmdStou(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: STOU");
  return StoreFile(ftp, sock, arg, ftp->binary_type == 1 ? "wb" : "wt", 1);
}

int CmdAppe(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: APPE");
  return StoreFile(ftp, sock, arg, ftp->binary_type == 1 ? "ab" : "at", 0);
}

int CmdRest(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: REST");
  if (!RequireLogin(ftp, sock)) return -1;
  int64_t offset = 0;
  if (arg != nullptr) CutLineEnd(ftp, arg);
  if (arg == nullptr || !ParseRestOffset(arg, &offset)) {
    ReplySend(ftp, sock, kSyntax);
    return 0;
  }
  ftp->rest_offset = offset;
  ReplySend(ftp, sock, "350 Restarting at %lld. Send STORE or RETRIEVE.",
            static_cast<long long>(offset));
  return 0;
}

int CmdAllo(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: ALLO");
  if (!RequireLogin(ftp, sock)) return -1;
  // Files grow as they arrive; nothing has to be reserved beforehand.
  ReplySend(ftp, sock, "202 Command not implemented, superfluous at this site.");
  return 0;
}

// MODE and STRU: the one value served (any case) gets `ok`, others 504.
int OnlyParameter(SOCKET sock, char* arg, FtpTbl* ftp, const char* command, const char* served,
                  const char* ok) {
  LogWrite(4, "Command: %s", command);
  if (!RequireLoginAndArgument(ftp, sock, arg)) return -1;
  CutLineEnd(ftp, arg);
  ReplySend(ftp, sock, "%s", torva::EqualsIgnoringCase(arg, served) ? ok : kNotForParameter);
  return 0;
}

int CmdMode(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  return OnlyParameter(sock, arg, ftp, "MODE", "S", "200 MODE Command okay. (Mode is STREAM)");
}

int CmdStru(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  return OnlyParameter(sock, arg, ftp, "STRU", "F", "200 STRU Command okay. (Structure is FILE)");
}
