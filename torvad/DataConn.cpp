#include "torvad/DataConn.h"

#include <chrono>
#include <cstring>

#include "common/strutil.h"
#include "torvad/Abort.h"
#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/PasvPorts.h"
#include "torvad/SessionIo.h"
#include "torvad/Tls.h"

namespace {

constexpr const char kSyntax[] = "501 Syntax error in parameters or arguments.";
// Queue of a passive socket: room for the client's connection even while a
// few from elsewhere wait to be turned away.
constexpr int kPasvBacklog = 16;
constexpr const char kCantOpen[] = "425 Can't open data connection.";

// A port in network byte order as a number.
unsigned HostPort(uint16_t port_net) {
  const auto* b = reinterpret_cast<const uint8_t*>(&port_net);
  return static_cast<unsigned>(b[0]) * 256u + b[1];
}

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
  SockAddress peer;
  if (SockGetPeerAddress(ctrl_sock, &peer) != 0) {
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
    SockAddress from;
    SOCKET s = SockAcceptAddress(ftp->pasv_listen, &from);
    if (s == INVALID_SOCKET) {
      LogFailed(2, "accept", static_cast<DWORD>(SockLastError()));
      DataClose(ftp);
      ReplySend(ftp, ctrl_sock, "425 Can't open data connection. (accept)");
      return -1;
    }
    if (SockAddressEqual(from, peer)) {
      ftp->data_sock = s;
      break;
    }
    char text[64];
    SockAddressText(from, text, sizeof text);
    LogWrite(2, "PASV: Refused the data connection from %s.", text);
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
  const SockAddress& to = ftp->active_addr;
  SOCKET s = SockCreate(to.family == WS_AF_INET6 ? WS_AF_INET6 : WS_AF_INET, WS_SOCK_STREAM,
                        WS_IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    LogFailed(2, "socket", static_cast<DWORD>(SockLastError()));
    LogWrite(2, "Failed the forward connection.");
    DataClose(ftp);
    ReplySend(ftp, ctrl_sock, kCantOpen);
    return -1;
  }
  ftp->data_sock = s;
  if (SockConnectAddress(s, to, SecondsToMs(Config().session_timeout)) != 0) {
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
  TransferWatchEnd(ftp);
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

int SessionWait(FtpTbl* ftp, SOCKET ctrl_sock, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  SockAddress peer;
  bool watch = ftp->pasv_listen != INVALID_SOCKET && SockGetPeerAddress(ctrl_sock, &peer) == 0;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    if (!watch) return SockWaitReadable(ctrl_sock, wait_ms);
    int ready = SockWaitReadableEither(ctrl_sock, ftp->pasv_listen, wait_ms);
    if (ready == SOCKET_ERROR || ready == 0) return ready;
    if ((ready & 1) != 0) return 1;
    SockAddress from;
    SOCKET s = SockAcceptAddress(ftp->pasv_listen, &from);
    if (s == INVALID_SOCKET) {
      // Out of descriptors, say: the socket stays readable, so it is left to
      // the transfer command for the rest of this wait instead of spinning.
      watch = false;
      continue;
    }
    if (SockAddressEqual(from, peer)) {
      // The client itself: the transfer command finds its connection ready.
      ftp->data_sock = s;
      SockClose(ftp->pasv_listen);
      ftp->pasv_listen = INVALID_SOCKET;
      watch = false;
    } else {
      char text[64];
      SockAddressText(from, text, sizeof text);
      LogWrite(2, "PASV: Refused the data connection from %s.", text);
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

// The control connection's peer as the data checks compare it: a mapped
// IPv4 client counts as IPv4.
SockAddress ControlPeer(SOCKET sock, const uint8_t* client_addr) {
  SockAddress peer;
  if (SockGetPeerAddress(sock, &peer) == 0) return peer;
  memset(&peer, 0, sizeof peer);
  if (client_addr != nullptr) peer = SockAddressV4(client_addr, 0);
  return peer;
}

// After EPSV ALL the client promised to use EPSV alone; every other way of
// setting up a data connection is refused and the session goes on.
bool RefusedAfterEpsvAll(FtpTbl* ftp, SOCKET sock) {
  if (!ftp->epsv_all) return false;
  ReplySend(ftp, sock, "503 Bad sequence of commands. (EPSV ALL)");
  return true;
}

int CmdPort(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr) {
  LogWrite(4, "Command: PORT");
  if (!RequireLogin(ftp, sock)) return -1;
  if (RefusedAfterEpsvAll(ftp, sock)) return 0;
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
  const uint8_t port_bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  uint16_t port_net;
  memcpy(&port_net, port_bytes, sizeof port_bytes);
  if (!ActiveTargetAllowed(SockAddressV4(addr, port_net), ControlPeer(sock, client_addr))) {
    LogWrite(2, "PORT: Refused IP=%d.%d.%d.%d / port=%u", addr[0], addr[1], addr[2], addr[3],
             static_cast<unsigned>(port));
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  memcpy(ftp->port_addr, addr, sizeof addr);
  ftp->port_port = port_net;  // network order
  ftp->active_addr = SockAddressV4(addr, port_net);
  LogWrite(3, "Forward port: IP=%d.%d.%d.%d / port=%u", addr[0], addr[1], addr[2], addr[3],
           static_cast<unsigned>(port));
  ftp->port_mode = 1;
  ReplySend(ftp, sock, "200 PORT Command okay.");
  return 0;
}

namespace {

// Opens the listening socket of PASV and EPSV: configured domain, a port of
// the pool, pasv-bind. The listening socket and its local address, or -1
// after replying 425 with the failed step.
int OpenPassive(FtpTbl* ftp, SOCKET sock, SockAddress* local) {
  const ConfigTbl& c = Config();
  SOCKET s = SockCreate(c.socket_domain, c.socket_type, c.protocol_number);
  if (s == INVALID_SOCKET) {
    LogFailed(2, "socket", static_cast<DWORD>(SockLastError()), "PASV: ");
    return PasvFail(ftp, sock, INVALID_SOCKET, "socket");
  }
  // A port of the pool whose last connection is still in TIME_WAIT can be
  // listened on again; one that another socket listens on still fails.
  SockSetReuseAddr(s);
  // An IPv6 data socket on the unspecified address takes the IPv4 clients of
  // a server that listens on both families.
  if (c.socket_domain == WS_AF_INET6) SockSetV6Only(s, FALSE);
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
  if (SockGetNameAddress(s, local) != 0) {
    LogFailed(1, "getsockname", static_cast<DWORD>(SockLastError()), "PASV: ");
    return PasvFail(ftp, sock, s, "getsockname");
  }
  // The client connects when it sends its transfer command; DataOpen accepts
  // it there and answers 150 in the right place of the reply stream.
  ftp->pasv_listen = s;
  ftp->pasv_mode = 1;
  return 0;
}

}  // namespace

int CmdPasv(SOCKET sock, char*, FtpTbl* ftp, const uint8_t* client_addr) {
  LogWrite(4, "Command: PASV");
  DataClose(ftp);
  if (!RequireLogin(ftp, sock)) return -1;
  if (RefusedAfterEpsvAll(ftp, sock)) return 0;
  if (ControlPeer(sock, client_addr).family == WS_AF_INET6) {
    // A 227 reply can only carry an IPv4 address; IPv6 clients use EPSV.
    ReplySend(ftp, sock, "522 Network protocol not supported, use (2)");
    return 0;
  }
  const ConfigTbl& c = Config();
  SockAddress local;
  if (OpenPassive(ftp, sock, &local) != 0) return -1;
  uint8_t addr[4] = {};
  if (local.family == WS_AF_INET) memcpy(addr, local.addr, sizeof addr);
  if (addr[0] == 0 && addr[1] == 0 && addr[2] == 0 && addr[3] == 0 && c.pasv_addr[0] == '\0') {
    // Bound to every interface: announce the address this client reached us
    // on, the one choice that works on a host with several addresses.
    if (SockGetName(sock, addr, nullptr) != 0) {
      LogFailed(1, "getsockname", static_cast<DWORD>(SockLastError()), "PASV: ");
      DataClose(ftp);
      return PasvFail(ftp, sock, INVALID_SOCKET, "getsockname");
    }
  }
  const uint8_t* pb = reinterpret_cast<const uint8_t*>(&local.port);  // network order
  if (c.pasv_addr[0] != '\0') {
    ReplySend(ftp, sock, "227 Entering Passive Mode (%s,%d,%d).", c.pasv_addr, pb[0], pb[1]);
  } else {
    ReplySend(ftp, sock, "227 Entering Passive Mode (%d,%d,%d,%d,%d,%d).", addr[0], addr[1],
              addr[2], addr[3], pb[0], pb[1]);
  }
  return 0;
}

int CmdEpsv(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr) {
  LogWrite(4, "Command: EPSV");
  if (!RequireLogin(ftp, sock)) return -1;
  if (arg != nullptr) {
    CutLineEnd(ftp, arg);
    if (torva::EqualsIgnoringCase(arg, "ALL")) {
      ftp->epsv_all = 1;
      ReplySend(ftp, sock, "200 EPSV ALL Command okay.");
      return 0;
    }
  }
  const SockAddress peer = ControlPeer(sock, client_addr);
  const char* wanted = arg != nullptr ? arg : "";
  // The data connection uses the control connection's protocol; a client
  // that names another one is told which it can have.
  if (wanted[0] != '\0') {
    const int family = EprtFamily(wanted);
    if (family == 0) {
      ReplySend(ftp, sock, "501 Syntax error in parameters or arguments.");
      return 0;
    }
    if (family != peer.family) {
      ReplySend(ftp, sock, "522 Network protocol not supported, use (%d)",
                peer.family == WS_AF_INET6 ? 2 : 1);
      return 0;
    }
  }
  DataClose(ftp);
  SockAddress local;
  if (OpenPassive(ftp, sock, &local) != 0) return -1;
  ReplySend(ftp, sock, "229 Entering Extended Passive Mode (|||%u|)", HostPort(local.port));
  return 0;
}

int EprtFamily(const char* text) {
  if (strcmp(text, "1") == 0) return WS_AF_INET;
  if (strcmp(text, "2") == 0) return WS_AF_INET6;
  return 0;
}

EprtResult ParseEprt(const char* arg, SockAddress* out) {
  // <d><net-prt><d><net-addr><d><tcp-port><d>: the delimiter is any printable
  // character but a digit, and it ends the argument.
  const char d = arg[0];
  if (d < 33 || d > 126 || (d >= '0' && d <= '9')) return EprtResult::kSyntax;
  const char* fields[3];
  size_t lengths[3];
  const char* p = arg + 1;
  for (int i = 0; i < 3; ++i) {
    const char* end = strchr(p, d);
    if (end == nullptr) return EprtResult::kSyntax;
    fields[i] = p;
    lengths[i] = static_cast<size_t>(end - p);
    p = end + 1;
  }
  if (*p != '\0') return EprtResult::kSyntax;
  char text[64];
  if (lengths[0] == 0 || lengths[0] >= sizeof text) return EprtResult::kSyntax;
  memcpy(text, fields[0], lengths[0]);
  text[lengths[0]] = '\0';
  const int family = EprtFamily(text);
  if (family == 0) {
    for (size_t i = 0; i < lengths[0]; ++i)
      if (text[i] < '0' || text[i] > '9') return EprtResult::kSyntax;
    return EprtResult::kUnsupported;
  }
  memset(out, 0, sizeof *out);
  out->family = family;
  if (lengths[1] == 0 || lengths[1] >= sizeof text) return EprtResult::kSyntax;
  memcpy(text, fields[1], lengths[1]);
  text[lengths[1]] = '\0';
  if (InetPton(family, text, out->addr) != 1) return EprtResult::kSyntax;
  if (lengths[2] == 0 || lengths[2] > 5) return EprtResult::kSyntax;
  unsigned port = 0;
  for (size_t i = 0; i < lengths[2]; ++i) {
    const char c = fields[2][i];
    if (c < '0' || c > '9') return EprtResult::kSyntax;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port == 0 || port > 65535) return EprtResult::kSyntax;
  const uint8_t port_bytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  memcpy(&out->port, port_bytes, sizeof port_bytes);
  return EprtResult::kOk;
}

bool ActiveTargetAllowed(const SockAddress& target, const SockAddress& peer) {
  return SockAddressEqual(target, peer) && HostPort(target.port) >= 1024;
}

int CmdEprt(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr) {
  LogWrite(4, "Command: EPRT");
  if (!RequireLogin(ftp, sock)) return -1;
  if (RefusedAfterEpsvAll(ftp, sock)) return 0;
  DataClose(ftp);
  if (arg == nullptr) {
    ReplySend(ftp, sock, kSyntax);
    return 0;
  }
  CutLineEnd(ftp, arg);
  torva::CopyTruncated(ftp->work_buf, arg);
  LogWrite(4, "EPRT: [%s]", ftp->work_buf);
  SockAddress target;
  switch (ParseEprt(ftp->work_buf, &target)) {
    case EprtResult::kSyntax: ReplySend(ftp, sock, kSyntax); return 0;
    case EprtResult::kUnsupported:
      ReplySend(ftp, sock, "522 Network protocol not supported, use (1,2)");
      return 0;
    case EprtResult::kOk: break;
  }
  char text[64];
  SockAddressText(target, text, sizeof text);
  const unsigned port = HostPort(target.port);
  // The bounce rules of PORT: the client itself, never a privileged port.
  if (!ActiveTargetAllowed(target, ControlPeer(sock, client_addr))) {
    LogWrite(2, "EPRT: Refused IP=%s / port=%u", text, port);
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  ftp->active_addr = target;
  if (target.family == WS_AF_INET) {
    memcpy(ftp->port_addr, target.addr, sizeof ftp->port_addr);
    ftp->port_port = target.port;
  }
  LogWrite(3, "Forward port: IP=%s / port=%u", text, port);
  ftp->port_mode = 1;
  ReplySend(ftp, sock, "200 EPRT Command okay.");
  return 0;
}
