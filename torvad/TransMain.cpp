#include "torvad/TransMain.h"

#include <cstdlib>
#include <cstring>

#include "platform/system.h"
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

// Implicit TLS: the handshake before the greeting. False when the session
// must end (everything but the session's own buffers is released here).
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
  if (!ok) {
    if (reply) ReplySend(nullptr, sock, "431 Need some unavailable resource to process security.");
    if (ftp->ctrl_ssl) TlsFree(ftp->ctrl_ssl);
    ftp->ctrl_ssl = nullptr;
  }
  return ok;
}

}  // namespace

void FtpTblClear(FtpTbl* ftp) {
  memset(ftp, 0, sizeof *ftp);
  ftp->data_sock = INVALID_SOCKET;
  ftp->pasv_listen = INVALID_SOCKET;
}

DWORD TransMain(void*) {
  TRACE_START("TransMain", "TransMain");
  SOCKET sock = ConnectListSerch();
  if (sock == INVALID_SOCKET) {
    LogWrite(-1, "Logic Error!!");
    return static_cast<DWORD>(-1);
  }
  LogWrite(4, "Transaction was started. (%X/%X)", static_cast<unsigned>(sock),
           GetCurrentThreadId());
  const uint8_t* client_addr = ConnectListSerch2();

  auto* buffer = static_cast<char*>(calloc(kRecvBufferSize, 1));
  if (buffer == nullptr) {
    LogFailed(1, "malloc", GetLastError());
    LogWrite(1, "Could not get receive buffer");
    SockClose(sock);
    ConnectListDel();
    return static_cast<DWORD>(-1);
  }
  auto* ftp = static_cast<FtpTbl*>(calloc(1, sizeof(FtpTbl)));
  if (ftp == nullptr) {
    LogFailed(1, "malloc", GetLastError());
    LogWrite(1, "Could not get FTP table buffer");
    SockClose(sock);
    free(buffer);
    ConnectListDel();
    return static_cast<DWORD>(-1);
  }
  FtpTblClear(ftp);
  ftp->utf8_mode = g_config->utf8_mode;
  ftp->lang = g_config->default_lang;

  // Replies and TLS reads never wait longer than a silent client may stay.
  if (g_config->session_timeout > 0) SockSetTimeouts(sock, g_config->session_timeout);
  // Replies often come in pairs (150 then 226, multi-line answers): without
  // this the second waits for the client's delayed acknowledgement of the first.
  SockSetNoDelay(sock);

  if (g_config->implicit_flag && TlsEnabled() && !ImplicitHandshake(sock, ftp)) {
    SockClose(sock);
    free(buffer);
    free(ftp);
    ConnectListDel();
    return static_cast<DWORD>(-1);
  }

  if (g_config->delayed_response > 0) Sleep(static_cast<DWORD>(g_config->delayed_response));
  if (g_config->ready_message)
    ReplySend(ftp, sock, "220 %s", g_config->ready_message);
  else
    ReplySend(ftp, sock, "220 Torva Server is ready.");

  long long wait = static_cast<long long>(g_config->session_timeout) * 1000;
  const int wait_ms = wait > 0x7FFFFFFF ? 0x7FFFFFFF : wait < 0 ? 0 : static_cast<int>(wait);
  int count = 0;
  for (;;) {
    // Bytes already decrypted by the TLS session are not visible to a wait
    // on the socket.
    bool pending = ftp->ctrl_ssl != nullptr && TlsPending(ftp->ctrl_ssl) > 0;
    if (!pending && SockWaitReadable(sock, wait_ms) != 1) {
      LogWrite(3, "Session timeout. (%dsec)", g_config->session_timeout);
      break;
    }
    int n;
    if (ftp->ctrl_ssl != nullptr) {
      n = TlsRead(ftp->ctrl_ssl, buffer + count, kRecvBufferSize - 1 - count);
      if (n <= 0) {
        int err = TlsGetError(ftp->ctrl_ssl, n);
        TlsPrintErrors();
        LogWrite(2, "Failed SSL_read() (ret=%d/err=%d)", n, err);
      }
    } else {
      n = SockRecv(sock, buffer + count, kRecvBufferSize - 1 - count);
      if (n <= 0) LogFailed(2, "recv", static_cast<DWORD>(SockLastError()));
    }
    if (n <= 0) {
      LogWrite(2, "Request recv error.");
      break;
    }
    if (getenv("TVS_DUMP") != nullptr)
      DumpWrite("Received Data", buffer + count, static_cast<size_t>(n));
    count += n;
    buffer[count] = '\0';
    if (count <= 2) continue;
    if (buffer[count - 2] == '\r' && buffer[count - 1] == '\n') {
      if (CommandDispatch(sock, buffer, count, ftp, client_addr) != 0) break;
      count = 0;
      buffer[0] = '\0';
      continue;
    }
    if (count > 4088) {
      LogWrite(2, "Command too long.");
      break;
    }
  }

  if (ConnectListTerminating()) return 0;  // the process is ending; no clean-up
  LogWrite(3, "FTP session is closing.");
  if (client_addr != nullptr) {
    if (ftp->logged_in == 1) {
      LogWrite(4, "Reseting the failure-list.");
      FailureListReset(client_addr);
    } else if (g_config->failure_needs_password && !ftp->pass_sent) {
      // Port probes, FEAT checks and a QUIT before log-in tried no password.
      LogWrite(4, "No password was tried.");
    } else {
      LogWrite(4, "Adding the failure-list.");
      FailureListAdd(client_addr);
    }
  }
  DataClose(ftp);
  if (ftp->ctrl_ssl != nullptr) TlsFree(ftp->ctrl_ssl);
  free(buffer);
  free(ftp);
  SockClose(sock);
  ConnectListDel();
  TRACE_END("TransMain", "TransMain");
  return 0;
}
