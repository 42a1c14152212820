#include "torvad/ConfigSetup.h"

#include <cstring>

#include "common/strutil.h"
#include "platform/socket.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"

namespace {

// Looks a host up and copies its first address: IPv4 as always, IPv6 (IPv4
// names as mapped addresses) for a server that listens with AF_INET6.
int Resolve(const char* host, uint8_t (&out)[32], int* length) {
  uint8_t addr[32] = {};
  int len = 0;
  const bool v6 = g_config->socket_domain == WS_AF_INET6;
  if ((v6 ? SockGetHostByName6(host, addr, sizeof addr, &len)
          : SockGetHostByName(host, addr, sizeof addr, &len)) != 0) {
    LogFailed(1, v6 ? "getaddrinfo" : "gethostbyname", static_cast<DWORD>(SockLastError()));
    return -1;
  }
  *length = len;
  memcpy(out, addr, sizeof out);
  return 0;
}

bool AllDigits(const char* text) {
  if (*text == '\0') return false;
  for (const char* p = text; *p && *p != '\r' && *p != '\n'; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

}  // namespace

int ConfigSetup() {
  TRACE_START("ConfigSetup", "ConfigSetup");
  ConfigTbl& c = *g_config;
  int rc = -1;
  do {
    if (c.bind_host[0] == '\0' && SockGetHostName(c.bind_host, sizeof c.bind_host) != 0) {
      LogFailed(1, "gethostname", static_cast<DWORD>(SockLastError()));
      break;
    }
    if (c.bind_port[0] == '\0') torva::CopyTruncated(c.bind_port, "ftp");
    if (c.protocol_name[0] == '\0') torva::CopyTruncated(c.protocol_name, "tcp");

    int length = 0;
    if (Resolve(c.bind_host, c.bind_addr, &length) != 0) break;
    LogWrite(4, "IP length=%d", length);
    c.addr_length = length;
    if (length >= 33) {
      LogWrite(1, "IP address too long! max:%d", 32);
      break;
    }
    if (c.pasv_bind[0] == '\0') torva::CopyTruncated(c.pasv_bind, c.bind_host);
    int pasv_length = 0;
    if (Resolve(c.pasv_bind, c.pasv_bind_addr, &pasv_length) != 0) break;

    if (SockGetProtoByName(c.protocol_name, &c.protocol_number) != 0) {
      LogFailed(1, "getprotobyname", static_cast<DWORD>(SockLastError()));
      break;
    }
    if (AllDigits(c.bind_port)) {
      int v = 0;
      if (!torva::AtoiInRange(c.bind_port, 0, 65535, &v)) {
        // Taken modulo 65536 it would listen where nobody asked for.
        LogWrite(1, "bind-port=%s is out of range.", c.bind_port);
        break;
      }
      c.port = static_cast<uint16_t>(((v & 0xFF) << 8) | (v >> 8));
    } else if (SockGetServByName(c.bind_port, c.protocol_name, &c.port) != 0) {
      LogFailed(1, "getservbyname", static_cast<DWORD>(SockLastError()));
      break;
    }
    if (c.dir_separator == '\0') c.dir_separator = '\\';
    if (c.pasv_wait == 0) c.pasv_wait = 3;
    rc = 0;
  } while (false);
  TRACE_END("ConfigSetup", "ConfigSetup");
  return rc;
}
