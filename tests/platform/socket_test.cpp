// Sockets of both families: IPv4 clients of a dual-stack socket come back as
// IPv4, the text forms of addresses, and the wait on two sockets at once.
#include "platform/socket.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

bool HaveIpv6Loopback() {
  SOCKET s = SockCreate(WS_AF_INET6, WS_SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return false;
  uint8_t loopback[16] = {};
  loopback[15] = 1;
  bool ok = SockBind(s, WS_AF_INET6, loopback, 0) == 0;
  SockClose(s);
  return ok;
}

TEST(SocketAddresses, TextFormsBothWays) {
  uint8_t a[16];
  ASSERT_EQ(InetPton(WS_AF_INET6, "2001:db8::1", a), 1);
  char text[64];
  EXPECT_STREQ(InetNtop(WS_AF_INET6, a, text, sizeof text), "2001:db8::1");
  EXPECT_EQ(InetPton(WS_AF_INET6, "2001:db8::g", a), 0);
  ASSERT_EQ(InetPton(WS_AF_INET, "10.0.0.5", a), 1);
  SockAddress v4 = SockAddressV4(a, 0);
  SockAddressText(v4, text, sizeof text);
  EXPECT_STREQ(text, "10.0.0.5");
  EXPECT_EQ(SockAddressLength(v4), 4);
  EXPECT_EQ(InetNtop(WS_AF_INET6, a, text, 4), nullptr);  // too small
}

TEST(SocketAddresses, MappedClientsOfADualStackSocketAreIpv4) {
  if (!HaveIpv6Loopback()) GTEST_SKIP() << "no IPv6 loopback (::1) on this machine";
  ASSERT_EQ(SockStartup(), 0);
  SOCKET ls = SockCreate(WS_AF_INET6, WS_SOCK_STREAM, 0);
  ASSERT_NE(ls, INVALID_SOCKET);
  ASSERT_EQ(SockSetV6Only(ls, FALSE), 0);
  const uint8_t any[16] = {};
  ASSERT_EQ(SockBind(ls, WS_AF_INET6, any, 0), 0);
  ASSERT_EQ(SockListen(ls, 4), 0);
  SockAddress local;
  ASSERT_EQ(SockGetNameAddress(ls, &local), 0);
  EXPECT_EQ(local.family, WS_AF_INET6);

  const uint8_t loop4[4] = {127, 0, 0, 1};
  SOCKET c4 = SockCreate(WS_AF_INET, WS_SOCK_STREAM, 0);
  ASSERT_EQ(SockConnectAddress(c4, SockAddressV4(loop4, local.port), 5000), 0);
  SockAddress peer;
  SOCKET s4 = SockAcceptAddress(ls, &peer);
  ASSERT_NE(s4, INVALID_SOCKET);
  EXPECT_TRUE(SockAddressEqual(peer, SockAddressV4(loop4, 0)));
  SockAddress mine;
  ASSERT_EQ(SockGetNameAddress(s4, &mine), 0);
  EXPECT_EQ(mine.family, WS_AF_INET);

  SockAddress to6{};
  to6.family = WS_AF_INET6;
  to6.addr[15] = 1;
  to6.port = local.port;
  SOCKET c6 = SockCreate(WS_AF_INET6, WS_SOCK_STREAM, 0);
  ASSERT_EQ(SockConnectAddress(c6, to6, 5000), 0);
  SOCKET s6 = SockAcceptAddress(ls, &peer);
  ASSERT_NE(s6, INVALID_SOCKET);
  EXPECT_EQ(peer.family, WS_AF_INET6);
  EXPECT_TRUE(SockAddressEqual(peer, to6));
  EXPECT_FALSE(SockAddressEqual(peer, SockAddressV4(loop4, 0)));

  // Waiting on both: nothing, then the second one, then the first one.
  EXPECT_EQ(SockWaitEither(s4, FALSE, s6, 0), 0);
  ASSERT_EQ(SockSendAll(c6, "x", 1), 1);
  EXPECT_EQ(SockWaitEither(s4, FALSE, s6, 5000), 2);
  EXPECT_EQ(SockWaitEither(s4, TRUE, INVALID_SOCKET, 5000), 1);
  // A non-blocking receive with nothing to read says so at once.
  ASSERT_EQ(SockSetNonBlocking(s4, TRUE), 0);
  char buf[4];
  EXPECT_EQ(SockRecv(s4, buf, sizeof buf), SOCKET_ERROR);
  EXPECT_EQ(SockLastError(), WSAEWOULDBLOCK);
  for (SOCKET s : {c4, s4, c6, s6, ls}) SockClose(s);
}

}  // namespace
