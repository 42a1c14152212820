#include "torvad/TransMain.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/system.h"
#include "platform/unique_handle.h"
#include "torvad/Abort.h"
#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/ConnectList.h"
#include "torvad/DataConn.h"
#include "torvad/FailureList.h"
#include "torvad/FtpTbl.h"
#include "torvad/Log.h"
#include "torvad/SessionIo.h"
#include "torvad/Tls.h"

namespace {

constexpr int kRecvBufferSize = 4096;
constexpr int kImplicitWaitSec = 3;

// Everything one session owns: its receive buffer, its record (and through it
// the data connection and both TLS sessions), its control socket and its
// connection list entry. The destructor is the session's one clean-up path,
// however the session ends. While the process is terminating it releases
// nothing: the process ends at once, and nothing may wait on a session thread
// or touch what the terminating thread is tearing down.
class SessionGuard {
 public:
  explicit SessionGuard(SOCKET sock) : sock_(sock) {}
  SessionGuard(const SessionGuard&) = delete;
  SessionGuard& operator=(const SessionGuard&) = delete;

  ~SessionGuard() {
    if (ConnectListTerminating()) {
      static_cast<void>(sock_.Release());
      static_cast<void>(buffer_.release());
      static_cast<void>(ftp_.release());
      return;
    }
    if (ftp_) {
      DataClose(ftp_.get());
      if (ftp_->ctrl_ssl != nullptr) TlsFree(ftp_->ctrl_ssl);
    }
    buffer_.reset();
    ftp_.reset();
    sock_.Reset();
    ConnectListDel();
  }

  // Allocates the buffer and the record; false after logging why.
  bool Allocate() {
    buffer_.reset(new (std::nothrow) char[kRecvBufferSize]());
    if (!buffer_) {
      LogFailed(1, "malloc", GetLastError());
      LogWrite(1, "Could not get receive buffer");
      return false;
    }
    ftp_.reset(new (std::nothrow) FtpTbl);
    if (!ftp_) {
      LogFailed(1, "malloc", GetLastError());
      LogWrite(1, "Could not get FTP table buffer");
      return false;
    }
    FtpTblClear(ftp_.get());
    return true;
  }

  SOCKET sock() const { return sock_.Get(); }
  char* buffer() const { return buffer_.get(); }
  FtpTbl* ftp() const { return ftp_.get(); }

 private:
  UniqueSocket sock_;
  std::unique_ptr<char[]> buffer_;
  std::unique_ptr<FtpTbl> ftp_;
};

// Implicit TLS: the handshake before the greeting. False when the session
// must end; the session's TLS object stays in its record for the guard.
bool ImplicitHandshake(SOCKET sock, FtpTbl* ftp) {
  ftp->ctrl_ssl = TlsNew();
  bool reply = true;
  bool ok = false;
  if (ftp->ctrl_ssl == nullptr) {
    TlsPrintErrors();
    LogWrite(1, "SSL_new() error.");
  } else if (int r = TlsSetFd(ftp->ctrl_ssl, sock); r != 1) {
    TlsPrintErrors();
    LogWrite(1, "SSL_set_fd() error. (iret=%d)", r);
  } else if (SockWaitReadable(sock, kImplicitWaitSec * 1000) != 1) {
    LogWrite(1, "Implicit timeout. (%dsec)", kImplicitWaitSec);
    reply = false;
  } else if (int a = TlsAccept(ftp->ctrl_ssl); a != 1) {
    int err = TlsGetError(ftp->ctrl_ssl, a);
    TlsPrintErrors();
    LogWrite(1, "SSL_accept() error. (iret=%d/err=%d)", a, err);
  } else {
    ok = true;
  }
  if (!ok && reply) {
    // Plain text: the failed session can carry nothing.
    ReplySend(nullptr, sock, "431 Need some unavailable resource to process security.");
  }
  return ok;
}

// One receive on the control connection, through TLS when it is protected,
// waiting at most timeout_ms for what a TLS record still lacks: the bytes
// received, or 0 or less. *closed tells a client that ended the connection in
// good order, which is no failure worth a warning; anything else is logged.
int ReceiveSome(SOCKET sock, FtpTbl* ftp, char* into, int room, int timeout_ms, bool* closed) {
  if (ftp->ctrl_ssl != nullptr) {
    int n = TlsReadWithin(ftp->ctrl_ssl, into, room, timeout_ms);
    *closed = TlsClosedByPeer(ftp->ctrl_ssl, n);
    if (n <= 0 && !*closed) {
      int err = TlsGetError(ftp->ctrl_ssl, n);
      TlsPrintErrors();
      LogWrite(2, "Failed SSL_read() (ret=%d/err=%d)", n, err);
    }
    return n;
  }
  int n = SockRecv(sock, into, room);
  *closed = n == 0;
  if (n < 0) LogFailed(2, "recv", static_cast<DWORD>(SockLastError()));
  return n;
}

// Milliseconds from now to `end`, at least 0.
int MsUntil(std::chrono::steady_clock::time_point end) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Moves control bytes that arrived while a transfer watched for ABOR into
// the receive buffer: they go before anything still in the socket.
int TakeEarlyBytes(FtpTbl* ftp, char* into, int room) {
  int n = ftp->ctrl_early_len < room ? ftp->ctrl_early_len : room;
  memcpy(into, ftp->ctrl_early, static_cast<size_t>(n));
  ftp->ctrl_early_len -= n;
  memmove(ftp->ctrl_early, ftp->ctrl_early + n, static_cast<size_t>(ftp->ctrl_early_len));
  return n;
}

// Reads command lines and dispatches each complete one until the client goes
// quiet for session-timeout seconds, takes longer than that for one request,
// the connection ends or fails, a line grows too long or a handler ends the
// session. While ABOR is on, Telnet commands are taken out of what arrives.
void CommandLoop(SOCKET sock, char* buffer, FtpTbl* ftp, const uint8_t* client_addr) {
  long long wait = static_cast<long long>(Config().session_timeout) * 1000;
  const int wait_ms = wait > 0x7FFFFFFF ? 0x7FFFFFFF : wait < 0 ? 0 : static_cast<int>(wait);
  const bool abor = Config().cmd_enable[CMD_ABOR] != 0;
  // An idle session waits session-timeout for its next request; a request
  // must be complete within session-timeout of its first byte, so a client
  // that trickles a byte now and then cannot hold its session (and its slot)
  // for ever.
  std::chrono::steady_clock::time_point request_end{};
  int count = 0;
  for (;;) {
    int n;
    if (ftp->ctrl_early_len > 0) {
      if (count == 0)
        request_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
      n = TakeEarlyBytes(ftp, buffer + count, kRecvBufferSize - 1 - count);
    } else {
      // Bytes already decrypted by the TLS session are not visible to a wait
      // on the socket.
      bool pending = ftp->ctrl_ssl != nullptr && TlsPending(ftp->ctrl_ssl) > 0;
      if (!pending && SessionWait(ftp, sock, count > 0 ? MsUntil(request_end) : wait_ms) != 1) {
        LogWrite(3, "Session timeout. (%dsec)", Config().session_timeout);
        return;
      }
      if (count == 0)
        request_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
      bool closed = false;
      n = ReceiveSome(sock, ftp, buffer + count, kRecvBufferSize - 1 - count, MsUntil(request_end),
                      &closed);
      if (closed) {
        LogWrite(4, "Closed by the client.");
        return;
      }
      if (n <= 0) {
        LogWrite(2, "Request recv error.");
        return;
      }
      if (abor) {
        n = static_cast<int>(
            StripTelnet(buffer + count, static_cast<size_t>(n), &ftp->telnet_state));
        if (n == 0) continue;  // Telnet commands only
      }
    }
    if (getenv("TVS_DUMP") != nullptr)
      DumpWrite("Received Data", buffer + count, static_cast<size_t>(n));
    count += n;
    buffer[count] = '\0';
    if (count <= 2) continue;
    if (buffer[count - 2] == '\r' && buffer[count - 1] == '\n') {
      if (CommandDispatch(sock, buffer, count, ftp, client_addr) != 0) return;
      count = 0;
      buffer[0] = '\0';
      continue;
    }
    if (count > 4088) {
      LogWrite(2, "Command too long.");
      return;
    }
  }
}

}  // namespace

void FtpTblClear(FtpTbl* ftp) {
  memset(ftp, 0, sizeof *ftp);
  ftp->data_sock = INVALID_SOCKET;
  ftp->pasv_listen = INVALID_SOCKET;
  ftp->watch_ctrl = INVALID_SOCKET;
}

DWORD TransMain(void*) {
  TRACE_START("TransMain", "TransMain");
  SOCKET sock = ConnectListSerch();
  if (sock == INVALID_SOCKET) {
    // A server that is stopping has emptied the list under a thread that
    // had only just been let go: no broken invariant, just the end.
    if (ConnectListTerminating()) return 0;
    LOGIC_ERROR();
    return static_cast<DWORD>(-1);
  }
  LogWrite(4, "Transaction was started. (%llX/%X)", SockNumber(sock),
           static_cast<unsigned>(GetCurrentThreadId()));
  const SockAddress* client = ConnectListSerch2();
  // Handlers see the address bytes: four for IPv4 clients, sixteen for IPv6
  // ones (they ask the control socket when the family matters).
  const uint8_t* client_addr = client != nullptr ? client->addr : nullptr;

  SessionGuard session(sock);
  if (!session.Allocate()) return static_cast<DWORD>(-1);
  FtpTbl* ftp = session.ftp();
  ftp->utf8_mode = Config().utf8_mode;
  ftp->lang = Config().default_lang;

  // Replies and TLS reads never wait longer than a silent client may stay.
  if (Config().session_timeout > 0) SockSetTimeouts(sock, Config().session_timeout);
  // Replies often come in pairs (150 then 226, multi-line answers): without
  // this the second waits for the client's delayed acknowledgement of the first.
  SockSetNoDelay(sock);
  // Clients send ABOR as urgent data (Python's ftplib) or after a Telnet
  // Synch: the urgent byte must arrive in the line like every other.
  if (Config().cmd_enable[CMD_ABOR]) SockSetOobInline(sock);

  if (Config().implicit_flag && TlsEnabled() && !ImplicitHandshake(sock, ftp))
    return static_cast<DWORD>(-1);

  if (Config().delayed_response > 0) Sleep(static_cast<DWORD>(Config().delayed_response));
  if (Config().ready_message)
    ReplySend(ftp, sock, "220 %s", Config().ready_message);
  else
    ReplySend(ftp, sock, "220 Torva Server is ready.");

  CommandLoop(sock, session.buffer(), ftp, client_addr);

  if (ConnectListTerminating()) return 0;  // the process is ending; no clean-up
  LogWrite(3, "FTP session is closing.");
  if (client != nullptr) {
    if (ftp->logged_in == 1) {
      LogWrite(4, "Reseting the failure-list.");
      FailureListReset(*client);
    } else if (Config().failure_needs_password && !ftp->pass_sent) {
      // Port probes, FEAT checks and a QUIT before log-in tried no password.
      LogWrite(4, "No password was tried.");
    } else {
      LogWrite(4, "Adding the failure-list.");
      FailureListAdd(*client);
    }
  }
  TRACE_END("TransMain", "TransMain");
  return 0;
}
