#include "torvad/StartServerSocket.h"

#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"

SOCKET StartServerSocket() {
  TRACE_START("StartServerSocket", "StartServerSocket");
  const ConfigTbl& c = Config();
  SOCKET s = SockCreate(c.socket_domain, c.socket_type, c.protocol_number);
  if (s == INVALID_SOCKET) {
    LogFailed(1, "socket", static_cast<DWORD>(SockLastError()));
    TRACE_END("StartServerSocket", "StartServerSocket");
    return INVALID_SOCKET;
  }
  // A restarted server must not wait for old connections in TIME_WAIT; a port
  // that another process listens on still fails the bind.
  SockSetReuseAddr(s);
  // An IPv6 socket on the unspecified address serves IPv4 clients too (as
  // mapped addresses), whatever the system's default says.
  if (c.socket_domain == WS_AF_INET6) SockSetV6Only(s, FALSE);
  if (SockBind(s, c.socket_domain, c.bind_addr, c.port) != 0) {
    LogFailed(1, "bind", static_cast<DWORD>(SockLastError()));
    SockClose(s);
    TRACE_END("StartServerSocket", "StartServerSocket");
    return INVALID_SOCKET;
  }
  if (SockListen(s, c.socket_backlog) != 0) {
    LogFailed(1, "listen", static_cast<DWORD>(SockLastError()));
    SockClose(s);
    TRACE_END("StartServerSocket", "StartServerSocket");
    return INVALID_SOCKET;
  }
  TRACE_END("StartServerSocket", "StartServerSocket");
  return s;
}
