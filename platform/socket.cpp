// The socket calls that are the same on every system: they speak only the
// layer's own calls and records.
#include <cstring>

#include "platform/socket.h"

namespace {

// The old four-byte view: IPv4 addresses as they are, anything else 0.0.0.0.
void SplitAddr(const SockAddress& a, uint8_t addr[4], uint16_t* port_net) {
  if (addr) {
    if (a.family == WS_AF_INET)
      memcpy(addr, a.addr, 4);
    else
      memset(addr, 0, 4);
  }
  if (port_net) *port_net = a.port;
}

}  // namespace

SOCKET SockAccept(SOCKET s, uint8_t peer_addr[4], uint16_t* peer_port_net) {
  SockAddress a;
  SOCKET c = SockAcceptAddress(s, &a);
  if (c != INVALID_SOCKET) SplitAddr(a, peer_addr, peer_port_net);
  return c;
}

int SockConnect(SOCKET s, const uint8_t addr[4], uint16_t port_net, int timeout_ms) {
  return SockConnectAddress(s, SockAddressV4(addr, port_net), timeout_ms);
}

int SockGetName(SOCKET s, uint8_t addr[4], uint16_t* port_net) {
  SockAddress a;
  if (SockGetNameAddress(s, &a) != 0) return SOCKET_ERROR;
  SplitAddr(a, addr, port_net);
  return 0;
}

int SockGetPeerName(SOCKET s, uint8_t addr[4], uint16_t* port_net) {
  SockAddress a;
  if (SockGetPeerAddress(s, &a) != 0) return SOCKET_ERROR;
  SplitAddr(a, addr, port_net);
  return 0;
}

int SockAddressLength(const SockAddress& a) {
  return a.family == WS_AF_INET ? 4 : a.family == WS_AF_INET6 ? 16 : 0;
}

bool SockAddressEqual(const SockAddress& a, const SockAddress& b) {
  int len = SockAddressLength(a);
  return a.family == b.family && len > 0 && memcmp(a.addr, b.addr, static_cast<size_t>(len)) == 0;
}

SockAddress SockAddressV4(const uint8_t addr[4], uint16_t port_net) {
  SockAddress a;
  memset(&a, 0, sizeof a);
  a.family = WS_AF_INET;
  memcpy(a.addr, addr, 4);
  a.port = port_net;
  return a;
}

void SockAddressText(const SockAddress& a, char* text, size_t size) {
  if (size == 0) return;
  if (InetNtop(a.family, a.addr, text, size) == nullptr) {
    text[0] = size > 1 ? '?' : '\0';
    if (size > 1) text[1] = '\0';
  }
}
