#include "torvad/Transfer.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/strutil.h"
#include "platform/fs.h"
#include "platform/unique_handle.h"
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

using Buffer = std::unique_ptr<char[]>;

constexpr char kCtrlZ = 0x1A;
// Bytes handed to the system per call when a file goes out straight from the
// file system cache: large enough that the calls themselves cost nothing
// measurable. Each call still gives up once the client has taken nothing for
// session-timeout seconds.
constexpr int64_t kTransmitChunk = 64 << 20;

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
// file could not be read; false when a send failed.
bool TransmitBinary(FtpTbl* ftp, FILE* file, bool* read_error) {
  for (;;) {
    int64_t n = SockTransmitFile(ftp->data_sock, file, kTransmitChunk);
    if (n == 0) return true;
    if (n > 0) continue;
    int err = SockLastError();
    if (err >= WSABASEERR) {
      LogFailed(2, "send", static_cast<DWORD>(err));
      return false;
    }
    LogFailed(2, "read", static_cast<DWORD>(err));
    *read_error = true;
    return true;
  }
}

// Text download: one send per line, each line up to its first zero byte.
bool SendText(FtpTbl* ftp, FILE* file, char* buf, size_t size) {
  bool ended = false;
  while (!ended) {
    size_t n = TextReadLine(file, buf, size - 1, &ended);
    size_t len = strnlen(buf, n);
    if (len > 0 && DataSend(ftp, buf, static_cast<int>(len)) != 0) return false;
  }
  return true;
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
  if (int r = DataOpen(ftp, sock, ftp->binary_type); r != 0) return r > 0 ? 0 : -1;

  bool read_error = false;
  bool sent;
  if (binary && ftp->data_ssl == nullptr)
    sent = TransmitBinary(ftp, file.Get(), &read_error);
  else if (binary)
    sent = SendBinary(ftp, file.Get(), buf.get(), size);
  else
    sent = SendText(ftp, file.Get(), buf.get(), size);
  if (!sent) {
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
  if (!RequireLoginAndArgument(ftp, sock, name)) return -1;
  if (!CheckWritable(ftp, sock)) return 0;
  // Refused before the target is opened, which would create it.
  if (!DataProtectionOk(ftp, sock)) return 0;
  const bool text = strpbrk(mode, "tT") != nullptr;
  const bool replace = mode[0] == 'w';
  const size_t size = static_cast<size_t>(TransferBufferSize());
  Buffer buf(new (std::nothrow) char[size]);
  if (!buf) {
    ReplySend(ftp, sock, kNoMemory);
    return -1;
  }
  char path[kLocalPathSize];
  if (PathResolve(ftp, sock, name, path) != 0) return 0;
  LogWrite(3, "Receiving: %s", path);
  if (!UploadTargetOk(ftp, sock, path)) return 0;

  // Opened for appending even when the upload replaces the file: the old
  // content is only dropped once the data connection stands, so a refused or
  // failed connection leaves the file as it was. The upload holds the file
  // from here to its end: a second upload to it is refused instead of
  // writing into the same bytes, and the holder finishes alone.
  UniqueFile file(OpenRegularFileEx(path, "ab", FILE_SHARE_READ, nullptr));
  if (!file) {
    LogWrite(3, "Cannot open. (%d)", static_cast<int>(GetLastError()));
    ReplySend(ftp, sock, kCannotOpen);
    return 0;
  }
  if (!text) setvbuf(file.Get(), nullptr, _IONBF, 0);
  if (int r = DataOpen(ftp, sock, ftp->binary_type); r != 0) return r > 0 ? 0 : -1;
  // A file that is empty already (a new one) is left alone: file systems
  // that see a file truncated to nothing take it for a replacement in
  // progress and write the whole upload out when it is closed, which holds up
  // the session for as long.
  if (replace && FileStreamSize(file.Get()) != 0 && !FileStreamTruncate(file.Get())) {
    LogWrite(2, "Cannot truncate. (%d)", static_cast<int>(GetLastError()));
    ReplySend(ftp, sock, kIoError);
    DataClose(ftp);
    return -1;
  }

  const char* failure = nullptr;
  for (;;) {
    int n = static_cast<int>(size);
    if (DataRecv(ftp, buf.get(), &n) != 0) {
      failure = kRecvError;
      break;
    }
    if (n == 0) break;  // the client has sent everything
    size_t len = static_cast<size_t>(n);
    size_t written;
    if (text) {
      len = DropCarriageReturns(buf.get(), len);
      written = TextWrite(file.Get(), buf.get(), len);
    } else {
      written = fwrite(buf.get(), 1, len, file.Get());
    }
    if (written < len) {
      failure = kDiskFull;
      break;
    }
  }
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
    ReplyGenerated(ftp, sock, name);
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
