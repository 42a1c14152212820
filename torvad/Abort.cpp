#include "torvad/Abort.h"

#include <cstring>

#include "common/strutil.h"
#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/DataConn.h"
#include "torvad/Log.h"
#include "torvad/SessionIo.h"
#include "torvad/Tls.h"

namespace {

constexpr unsigned char kIac = 0xFF;
// Telnet commands that carry one option byte after them: WILL, WONT, DO, DONT.
bool TakesOption(unsigned char c) { return c >= 0xFB && c <= 0xFE; }

// A wait for the data connection looks at the control connection at least
// this often.
constexpr int kWatchTickMs = 1000;

}  // namespace

void TransferWatchBegin(FtpTbl* ftp, SOCKET ctrl_sock) {
  if (!Config().cmd_enable[CMD_ABOR] || ftp->data_sock == INVALID_SOCKET) return;
  ftp->transfer_aborted = 0;  // a new transfer: an older abort is answered
  ftp->watch_ctrl = ctrl_sock;
  // A client that stopped reading must not keep the transfer from seeing
  // its ABOR: sends and receives never wait, the waits watch both sides.
  SockSetNonBlocking(ftp->data_sock, TRUE);
}

void TransferWatchEnd(FtpTbl* ftp) {
  if (ftp->watch_ctrl == INVALID_SOCKET) return;
  // Blocking again: the close alert of a protected connection must get out.
  if (ftp->data_sock != INVALID_SOCKET) SockSetNonBlocking(ftp->data_sock, FALSE);
  ftp->watch_ctrl = INVALID_SOCKET;
}

bool TransferWouldBlock(int socket_error) {
  return socket_error == WSAEWOULDBLOCK || socket_error == WSAETIMEDOUT;
}

bool TransferWait(FtpTbl* ftp, bool writing, int* stalled_ms) {
  const long long limit = static_cast<long long>(Config().session_timeout) * 1000;
  for (;;) {
    if (TransferAbortRequested(ftp)) return false;
    // With the early buffer full nothing more is read from the control
    // connection, so it is not watched (it would stay readable).
    const bool room = ftp->ctrl_early_len < static_cast<int>(sizeof ftp->ctrl_early);
    int r = SockWaitEither(ftp->data_sock, writing ? TRUE : FALSE,
                           room ? ftp->watch_ctrl : INVALID_SOCKET, kWatchTickMs);
    if (r == SOCKET_ERROR) {
      LogFailed(2, "select", static_cast<DWORD>(SockLastError()));
      return false;
    }
    if (r & 1) return true;
    if (r == 0) {
      *stalled_ms += kWatchTickMs;
      if (limit > 0 && *stalled_ms >= limit) {
        LogFailed(2, writing ? "send" : "recv", WSAETIMEDOUT);
        return false;
      }
    }
  }
}

bool HoldsAbort(const char* data, size_t length) {
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != '\n') continue;
    size_t p = start;
    while (p < i && data[p] == ' ') ++p;
    if (i - p >= 4 && torva::ToUpperAscii(data[p]) == 'A' &&
        torva::ToUpperAscii(data[p + 1]) == 'B' && torva::ToUpperAscii(data[p + 2]) == 'O' &&
        torva::ToUpperAscii(data[p + 3]) == 'R' &&
        (data[p + 4] == '\r' || data[p + 4] == '\n' || data[p + 4] == ' '))
      return true;
    start = i + 1;
  }
  return false;
}

bool TransferAbortRequested(FtpTbl* ftp) {
  if (ftp->watch_ctrl == INVALID_SOCKET) return false;
  const int room = static_cast<int>(sizeof ftp->ctrl_early) - ftp->ctrl_early_len;
  if (room <= 0) return false;  // full without an ABOR: the rest waits in the socket
  const bool pending = ftp->ctrl_ssl != nullptr && TlsPending(ftp->ctrl_ssl) > 0;
  if (!pending && SockWaitReadable(ftp->watch_ctrl, 0) != 1) return false;
  char* at = ftp->ctrl_early + ftp->ctrl_early_len;
  int n = ftp->ctrl_ssl != nullptr ? TlsRead(ftp->ctrl_ssl, at, room)
                                   : SockRecv(ftp->watch_ctrl, at, room);
  if (n <= 0) {
    // The client has gone: nobody waits for the rest of the transfer.
    LogWrite(2, "Request recv error.");
    return true;
  }
  n = static_cast<int>(StripTelnet(at, static_cast<size_t>(n), &ftp->telnet_state));
  ftp->ctrl_early_len += n;
  if (!HoldsAbort(ftp->ctrl_early, static_cast<size_t>(ftp->ctrl_early_len))) return false;
  LogWrite(3, "Transfer aborted by the client.");
  return true;
}

size_t StripTelnet(char* data, size_t length, int* state) {
  // States: 0 text, 1 after IAC, 2 after IAC and a command with an option.
  size_t out = 0;
  for (size_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (*state == 2) {
      *state = 0;  // the option byte
    } else if (*state == 1) {
      if (c == kIac) {
        data[out++] = data[i];  // IAC IAC: one 0xFF byte
        *state = 0;
      } else {
        *state = TakesOption(c) ? 2 : 0;
      }
    } else if (c == kIac) {
      *state = 1;
    } else {
      data[out++] = data[i];
    }
  }
  return out;
}

void ReplyTransferAborted(FtpTbl* ftp, SOCKET sock) {
  // Nothing more goes out on the data connection, not even a close alert:
  // the client has given it up.
  TlsSetQuietShutdown(ftp->data_ssl);
  DataClose(ftp);
  ReplySend(ftp, sock, "426 Connection closed; transfer aborted.");
  ftp->transfer_aborted = 1;
}

int CmdAbor(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: ABOR");
  if (!RequireLogin(ftp, sock)) return -1;
  const bool aborted = ftp->transfer_aborted != 0;
  ftp->transfer_aborted = 0;
  DataClose(ftp);
  ReplySend(ftp, sock, aborted ? "226 Abort successful." : "225 No transfer to abort.");
  return 0;
}
