#include "torvad/DataConn.h"

#include <chrono>
#include <cstring>

#include "common/strutil.h"
#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/PasvPorts.h"
#include "torvad/SessionIo.h"
#include "torvad/Tls.h"

namespace {

constexpr const char kSyntax[] = "501 Syntax error in parameters or arguments.";
// Queue of a passive socket: room for the client's connection even while a
// few from elsewhere wait to be turned away.
constexpr int kPasvBacklog = 16;
constexpr const char kCantOpen[] = "425 Can't open data connection.";

// Seconds to milliseconds for a wait, kept within what an int holds.
int SecondsToMs(int seconds) {
  long long ms = static_cast<long long>(seconds) * 1000;
  if (ms > 0x7FFFFFFF) return 0x7FFFFFFF;
  return ms < 0 ? 0 : static_cast<int>(ms);
}

// Every data socket gives up after session-timeout seconds without progress,
// so a client that stops reading or writing cannot hold its session forever.
void PrepareDataSocket(SOCKET s) {
  if (Config().session_timeout > 0) SockSetTimeouts(s, Config().session_timeout);
}

// Fails a passive set-up: everything pending is closed, the reply names the
// step that failed.
int PasvFail(FtpTbl* ftp, SOCKET sock, SOCKET listen_sock, const char* step) {
  if (listen_sock != INVALID_SOCKET) SockClose(listen_sock);
  ReplySend(ftp, sock, "425 Can't open data connection. (%s)", step);
  return -1;
}

// Waits for the client's connection on the pending passive socket, at most
// pasv-wait seconds in all. Connections from any address but the control
// connection's peer are closed unseen and the wait goes on: nobody else may
// take over a transfer by racing to the announced port.
int AcceptPassive(FtpTbl* ftp, SOCKET ctrl_sock) {
  uint8_t peer[4];
  if (SockGetPeerName(ctrl_sock, peer, nullptr) != 0) {
    LogFailed(2, "getpeername", static_cast<DWORD>(SockLastError()));
    DataClose(ftp);
    ReplySend(ftp, ctrl_sock, "425 Can't open data connection. (accept)");
    return -1;
  }
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(SecondsToMs(Config().pasv_wait));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    int ready = SockWaitReadable(ftp->pasv_listen, wait_ms);
    if (ready == SOCKET_ERROR) {
      LogFailed(1, "select", static_cast<DWORD>(SockLastError()), "PASV: ");
      DataClose(ftp);
      ReplySend(ftp, ctrl_sock, "425 Can't open data connection. (select)");
      return -1;
    }
    if (ready == 0) {
      LogWrite(1, "PASV: select() timeout");
      DataClose(ftp);
      ReplySend(ftp, ctrl_sock, "425 Can't open data connection. (timeout)");
      return -1;
    }
    uint8_t from[4];
    SOCKET s = SockAccept(ftp->pasv_listen, from, nullptr);
    if (s == INVALID_SOCKET) {
      LogFailed(2, "accept", static_cast<DWORD>(SockLastError()));
      DataClose(ftp);
      ReplySend(ftp, ctrl_sock, "425 Can't open data connection. (accept)");
      return -1;
    }
    if (memcmp(from, peer, sizeof peer) == 0) {
      ftp->data_sock = s;
      break;
    }
    LogWrite(2, "PASV: Refused the data connection from %d.%d.%d.%d.", from[0], from[1], from[2],
             from[3]);
    SockClose(s);
  }
  SockClose(ftp->pasv_listen);
  ftp->pasv_listen = INVALID_SOCKET;
  return 0;
}

// Connects to the address of PORT, giving up after session-timeout seconds.
int ConnectActive(FtpTbl* ftp, SOCKET ctrl_sock) {
  // Clears the PORT mode: one PORT serves one transfer. The address stays.
  DataClose(ftp);
  SOCKET s = SockCreate(WS_AF_INET, WS_SOCK_STREAM, WS_IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    LogFailed(2, "socket", static_cast<DWORD>(SockLastError()));
    LogWrite(2, "Failed the forward connection.");
    DataClose(ftp);
    ReplySend(ftp, ctrl_sock, kCantOpen);
    return -1;
  }
  ftp->data_sock = s;
  if (SockConnect(s, ftp->port_addr, ftp->port_port, SecondsToMs(Config().session_timeout)) != 0) {
    LogFailed(2, "connect", static_cast<DWORD>(SockLastError()));
    LogWrite(2, "Failed the forward connection.");
    ReplySend(ftp, ctrl_sock, kCantOpen);
    DataClose(ftp);
    return -1;
  }
  return 0;
}

}  // namespace

void DataClose(FtpTbl* ftp) {
  if (ftp->data_ssl != nullptr) {
    // Clients take a data connection closed without the close alert for a
    // truncated transfer.
    TlsCloseNotify(ftp->data_ssl);
    TlsFree(ftp->data_ssl);
    ftp->data_ssl = nullptr;
  }
  if (ftp->data_sock != INVALID_SOCKET) {
    SockClose(ftp->data_sock);
    ftp->data_sock = INVALID_SOCKET;
  }
  if (ftp->pasv_listen != INVALID_SOCKET) {
    SockClose(ftp->pasv_listen);
    ftp->pasv_listen = INVALID_SOCKET;
  }
  ftp->port_mode = 0;
  ftp->pasv_mode = 0;
}

int SessionWait(FtpTbl* ftp, SOCKET ctrl_sock, const uint8_t* client_addr, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  bool watch = ftp->pasv_listen != INVALID_SOCKET;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    if (!watch) return SockWaitReadable(ctrl_sock, wait_ms);
    int ready = SockWaitReadableEither(ctrl_sock, ftp->pasv_listen, wait_ms);
    if (ready == SOCKET_ERROR || ready == 0) return ready;
    if ((ready & 1) != 0) return 1;
    uint8_t from[4];
    SOCKET s = SockAccept(ftp->pasv_listen, from, nullptr);
    if (s == INVALID_SOCKET) {
      // Out of descriptors, say: the socket stays readable, so it is left to
      // the transfer command for the rest of this wait instead of spinning.
      watch = false;
      continue;
    }
    if (client_addr != nullptr && memcmp(from, client_addr, sizeof from) == 0) {
      // The client itself: the transfer command finds its connection ready.
      ftp->data_sock = s;
      SockClose(ftp->pasv_listen);
      ftp->pasv_listen = INVALID_SOCKET;
      watch = false;
    } else {
      LogWrite(2, "PASV: Refused the data connection from %d.%d.%d.%d.", from[0], from[1], from[2],
               from[3]);
      SockClose(s);
    }
  }
}

bool DataProtectionOk(FtpTbl* ftp, SOCKET ctrl_sock) {
  if (!Config().require_tls || ftp->prot_level == 3) return true;
  DataClose(ftp);
  ReplySend(ftp, ctrl_sock, "521 Data connections must be protected.");
  return false;
}

int DataOpen(FtpTbl* ftp, SOCKET ctrl_sock, int binary) {
  if (!DataProtectionOk(ftp, ctrl_sock)) return 1;
  if (ftp->port_mode == 0 && ftp->pasv_mode == 0) {
    ReplySend(ftp, ctrl_sock, kCantOpen);
    DataClose(ftp);
    return -1;
  }
  if (ftp->pasv_mode != 0) {
    if (ftp->data_sock == INVALID_SOCKET) {
      if (ftp->pasv_listen == INVALID_SOCKET) {
        // Passive mode without its listening socket cannot happen; treated
        // like a transfer without PASV rather than waited on.
        LOGIC_ERROR();
        DataClose(ftp);
        ReplySend(ftp, ctrl_sock, kCantOpen);
        return -1;
      }
      if (AcceptPassive(ftp, ctrl_sock) != 0) return -1;
    }
    PrepareDataSocket(ftp->data_sock);
    ReplySend(ftp, ctrl_sock, "150 Connected.");
  } else {
    if (ConnectActive(ftp, ctrl_sock) != 0) return -1;
    PrepareDataSocket(ftp->data_sock);
    ReplySend(ftp, ctrl_sock, "150 Connected. (%s mode)", binary == 1 ? "BINARY" : "ASCII");
  }
  if (DataTlsStart(ftp, ctrl_sock) != 0) {
    DataClose(ftp);
    return -1;
  }
  return 0;
}

bool ParsePortFields(const char* text, uint8_t (&addr)[4], uint16_t* port) {
  int fields[6] = {};
  int count = 0;
  const char* p = text;
  while (count < 6) {
    // Every field is one byte; a larger one taken modulo 256 would name
    // another address or port than the client wrote.
    if (!torva::AtoiInRange(p, 0, 255, &fields[count++])) return false;
    const char* comma = strchr(p, ',');
    if (comma == nullptr) break;
    p = comma + 1;
  }
  if (count < 6) return false;
  for (int i = 0; i < 4; ++i) addr[i] = static_cast<uint8_t>(fields[i]);
  *port = static_cast<uint16_t>(static_cast<unsigned>(fields[4]) * 256u +
                                static_cast<unsigned>(fields[5]));
  return true;
}

bool PortTargetAllowed(const uint8_t (&addr)[4], uint16_t port, const uint8_t (&peer)[4]) {
  return memcmp(addr, peer, sizeof addr) == 0 && port >= 1024;
}

int CmdPort(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr) {
  LogWrite(4, "Command: PORT");
  if (!RequireLogin(ftp, sock)) return -1;
  DataClose(ftp);
  if (arg == nullptr) {
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  char* end = strchr(arg, '\r');
  if (end == nullptr) end = strchr(arg, '\n');
  if (end != nullptr) *end = '\0';
  torva::CopyTruncated(ftp->work_buf, arg);
  LogWrite(4, "PORT: [%s]", ftp->work_buf);

  uint8_t addr[4];
  uint16_t port = 0;
  if (!ParsePortFields(ftp->work_buf, addr, &port)) {
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  uint8_t peer[4] = {};
  bool peer_known = true;
  if (client_addr != nullptr)
    memcpy(peer, client_addr, sizeof peer);
  else
    peer_known = SockGetPeerName(sock, peer, nullptr) == 0;
  // Without a known peer nothing is allowed (a zero peer would match 0.0.0.0).
  if (!peer_known || !PortTargetAllowed(addr, port, peer)) {
    LogWrite(2, "PORT: Refused IP=%d.%d.%d.%d / port=%u", addr[0], addr[1], addr[2], addr[3],
             static_cast<unsigned>(port));
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  memcpy(ftp->port_addr, addr, sizeof addr);
  const uint8_t port_bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  memcpy(&ftp->port_port, port_bytes, sizeof port_bytes);  // network order
  LogWrite(3, "Forward port: IP=%d.%d.%d.%d / port=%u", addr[0], addr[1], addr[2], addr[3],
           static_cast<unsigned>(port));
  ftp->port_mode = 1;
  ReplySend(ftp, sock, "200 PORT Command okay.");
  return 0;
}

int CmdPasv(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: PASV");
  DataClose(ftp);
  if (!RequireLogin(ftp, sock)) return -1;
  const ConfigTbl& c = Config();
  SOCKET s = SockCreate(c.socket_domain, c.socket_type, c.protocol_number);
  if (s == INVALID_SOCKET) {
    LogFailed(2, "socket", static_cast<DWORD>(SockLastError()), "PASV: ");
    return PasvFail(ftp, sock, INVALID_SOCKET, "socket");
  }
  // A port of the pool whose last connection is still in TIME_WAIT can be
  // listened on again; one that another socket listens on still fails.
  SockSetReuseAddr(s);
  int attempts = c.pasv_port_count > 0 ? c.pasv_port_count : 1;
  bool bound = false;
  for (int i = 0; i < attempts && !bound; ++i) {
    if (SockBind(s, c.socket_domain, c.pasv_bind_addr, PasvPortNext()) == 0)
      bound = true;
    else
      LogFailed(2, "bind", static_cast<DWORD>(SockLastError()), "PASV: ");
  }
  if (!bound) return PasvFail(ftp, sock, s, "bind");
  if (SockListen(s, kPasvBacklog) != 0) {
    LogFailed(1, "listen", static_cast<DWORD>(SockLastError()), "PASV: ");
    return PasvFail(ftp, sock, s, "listen");
  }
  uint8_t addr[4];
  uint16_t port_net = 0;
  if (SockGetName(s, addr, &port_net) != 0) {
    LogFailed(1, "getsockname", static_cast<DWORD>(SockLastError()), "PASV: ");
    return PasvFail(ftp, sock, s, "getsockname");
  }
  if (addr[0] == 0 && addr[1] == 0 && addr[2] == 0 && addr[3] == 0 && c.pasv_addr[0] == '\0') {
    // Bound to every interface: announce the address this client reached us
    // on, the one choice that works on a host with several addresses.
    if (SockGetName(sock, addr, nullptr) != 0) {
      LogFailed(1, "getsockname", static_cast<DWORD>(SockLastError()), "PASV: ");
      return PasvFail(ftp, sock, s, "getsockname");
    }
  }
  const uint8_t* pb = reinterpret_cast<const uint8_t*>(&port_net);  // network order
  if (c.pasv_addr[0] != '\0') {
    ReplySend(ftp, sock, "227 Entering Passive Mode (%s,%d,%d).", c.pasv_addr, pb[0], pb[1]);
  } else {
    ReplySend(ftp, sock, "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", addr[0], addr[1],
              addr[2], addr[3], pb[0], pb[1]);
  }
  // The client connects when it sends its transfer command; DataOpen accepts
  // it there and answers 150 in the right place of the reply stream.
  ftp->pasv_listen = s;
  ftp->pasv_mode = 1;
  return 0;
}
