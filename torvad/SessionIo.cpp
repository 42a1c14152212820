#include "torvad/SessionIo.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "torvad/Abort.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Kanji.h"
#include "torvad/Log.h"
#include "torvad/Tls.h"

namespace {

// Writes every byte through a TLS session; false after logging. Line writers
// and raw data writers log their failures in their own words.
bool TlsWriteAll(ssl_st* ssl, const char* data, int length, bool lines) {
  while (length > 0) {
    int n = TlsWrite(ssl, data, length);
    if (n <= 0) {
      int err = TlsGetError(ssl, n);
      TlsPrintErrors();
      if (lines)
        LogWrite(2, "SSL_write() error. (ret=%d/err=%d)", n, err);
      else
        LogWrite(2, "Failed SSL_write() (ret=%d/err=%d)", n, err);
      return false;
    }
    data += n;
    length -= n;
  }
  return true;
}

bool SockWriteAll(SOCKET sock, const char* data, int length) {
  if (SockSendAll(sock, data, length) == SOCKET_ERROR) {
    LogFailed(2, "send", static_cast<DWORD>(SockLastError()));
    return false;
  }
  return true;
}

// Formats one line into `line` (cut after 1021 characters) and appends CR LF.
__attribute__((format(printf, 2, 0))) int FormatLine(char (&line)[1024], const char* format,
                                                     va_list ap) {
  int n = vsnprintf(line, 1022, format, ap);
  if (n < 0) n = 0;
  if (n > 1021) n = 1021;
  line[n++] = '\r';
  line[n++] = '\n';
  line[n] = '\0';
  return n;
}

// Sends a formatted line, converted to UTF-8 when `convert` says so; a line
// that cannot be converted goes out as it is.
int SendLine(ssl_st* ssl, SOCKET sock, bool convert, char (&line)[1024], int length) {
  char* converted = convert ? SjisToUtf8(line) : nullptr;
  const char* out = converted ? converted : line;
  int out_len = converted ? static_cast<int>(strlen(converted)) : length;
  bool ok = ssl ? TlsWriteAll(ssl, out, out_len, true) : SockWriteAll(sock, out, out_len);
  free(converted);
  return ok ? 0 : -1;
}

// DataSend of a transfer that watches for ABOR: the data connection does not
// block; whenever it would, the wait watches the control connection too.
int WatchedSend(FtpTbl* ftp, const char* p, int length) {
  int stalled_ms = 0;
  while (length > 0) {
    if (TransferAbortRequested(ftp)) return -1;
    int n;
    bool would_block = false;
    if (ftp->data_ssl != nullptr) {
      n = TlsWrite(ftp->data_ssl, p, length, &would_block);
      if (n <= 0 && !would_block) {
        int err = TlsGetError(ftp->data_ssl, n);
        TlsPrintErrors();
        LogWrite(2, "Failed SSL_write() (ret=%d/err=%d)", n, err);
        return -1;
      }
    } else {
      n = SockSend(ftp->data_sock, p, length);
      would_block = n < 0 && TransferWouldBlock(SockLastError());
      if (n < 0 && !would_block) {
        LogFailed(2, "send", static_cast<DWORD>(SockLastError()));
        return -1;
      }
    }
    if (would_block) {
      if (!TransferWait(ftp, true, &stalled_ms)) return -1;
      continue;
    }
    stalled_ms = 0;
    p += n;
    length -= n;
  }
  return 0;
}

}  // namespace

int ReplySend(FtpTbl* ftp, SOCKET sock, const char* format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  int n = FormatLine(line, format, ap);
  va_end(ap);
  bool convert = ftp != nullptr && ftp->utf8_mode == 1 && ftp->lang == LANG_JA;
  return SendLine(ftp ? ftp->ctrl_ssl : nullptr, sock, convert, line, n);
}

int DataTextSend(FtpTbl* ftp, const char* format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  int n = FormatLine(line, format, ap);
  va_end(ap);
  bool convert = ftp->utf8_mode == 1 && Config().utf8_ctrl_only == 0 && ftp->lang == LANG_JA;
  return SendLine(ftp->data_ssl, ftp->data_sock, convert, line, n);
}

int DataSend(FtpTbl* ftp, const void* data, int length) {
  const char* p = static_cast<const char*>(data);
  if (ftp->watch_ctrl != INVALID_SOCKET) return WatchedSend(ftp, p, length);
  if (ftp->data_ssl != nullptr) return TlsWriteAll(ftp->data_ssl, p, length, false) ? 0 : -1;
  return SockWriteAll(ftp->data_sock, p, length) ? 0 : -1;
}

int DataRecv(FtpTbl* ftp, void* buffer, int* size) {
  // A watched transfer waits a tick at a time and looks at the control
  // connection in between.
  const bool watched = ftp->watch_ctrl != INVALID_SOCKET;
  if (!watched) return DataRecvOnce(ftp, buffer, size, nullptr);
  int stalled_ms = 0;
  for (;;) {
    if (TransferAbortRequested(ftp)) return -1;
    bool would_block = false;
    int rc = DataRecvOnce(ftp, buffer, size, &would_block);
    if (!would_block) return rc;
    if (!TransferWait(ftp, false, &stalled_ms)) return -1;
  }
}

int DataRecvOnce(FtpTbl* ftp, void* buffer, int* size, bool* would_block) {
  if (ftp->data_ssl != nullptr) {
    // The end of protected data is the client's close alert; a connection
    // that merely ends may have been cut short by anybody on the path.
    int n = TlsRead(ftp->data_ssl, buffer, *size, would_block);
    if (would_block != nullptr && *would_block) return 0;
    if (n > 0) {
      // A read hands out one record (16 KiB at most). While the session
      // already holds the start of the next one, the client is sending:
      // take it too, so that the caller writes the file in large pieces.
      // A failure here stays for the next call.
      char* p = static_cast<char*>(buffer);
      while (n < *size && TlsPending(ftp->data_ssl)) {
        bool later = false;
        int more = TlsRead(ftp->data_ssl, p + n, *size - n, would_block ? &later : nullptr);
        if (more <= 0) break;
        n += more;
      }
      *size = n;
      return 0;
    }
    if (TlsClosedByPeer(ftp->data_ssl, n)) {
      *size = 0;
      return 0;
    }
    int err = TlsGetError(ftp->data_ssl, n);
    TlsPrintErrors();
    LogWrite(2, "Failed SSL_read() (ret=%d/err=%d)", n, err);
    return -1;
  }
  int n = SockRecv(ftp->data_sock, buffer, *size);
  if (n < 0) {
    if (would_block != nullptr && TransferWouldBlock(SockLastError())) {
      *would_block = true;
      return 0;
    }
    LogFailed(2, "recv", static_cast<DWORD>(SockLastError()));
    return -1;
  }
  *size = n;
  return 0;
}
