// Sockets in the shape of Windows Sockets 2, for IPv4 and IPv6 stream sockets.
//
// Every wait is built on poll, so descriptors above 1023 work. Sends never
// raise SIGPIPE. Failures leave a Windows Sockets error number (WSAE...) as the
// thread's last error, read with SockLastError().
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/api/socket.h"
#include "platform/wintypes.h"

// Address families and socket types as Windows numbers them; mapped here.
inline constexpr int WS_AF_UNIX = 1;
inline constexpr int WS_AF_INET = 2;
inline constexpr int WS_AF_IPX = 6;
inline constexpr int WS_AF_INET6 = 23;
inline constexpr int WS_SOCK_STREAM = 1;
inline constexpr int WS_SOCK_DGRAM = 2;
inline constexpr int WS_SOCK_RAW = 3;
inline constexpr int WS_SOCK_RDM = 4;
inline constexpr int WS_SOCK_SEQPACKET = 5;
inline constexpr int WS_IPPROTO_TCP = 6;

// A socket as a number for messages ("%llu", "%llX"): a socket is a
// pointer-sized handle on Windows, not an int.
[[nodiscard]] inline unsigned long long SockNumber(SOCKET s) {
  return static_cast<unsigned long long>(s);
}

// The thread's last socket error.
[[nodiscard]] int SockLastError();

// Starts the sockets layer for this process: SIGPIPE is ignored and the
// open-file limit is raised to its hard limit. 0 or an error number.
[[nodiscard]] int SockStartup();
void SockCleanup();

[[nodiscard]] SOCKET SockCreate(int ws_domain, int ws_type, int protocol);
int SockClose(SOCKET s);
int SockShutdown(SOCKET s, int how);

// Binds to an address and a port in network byte order: 4 address bytes for
// an IPv4 family, 16 for WS_AF_INET6. For other families the address field
// carries `ws_family` as given, as the caller's configuration says.
[[nodiscard]] int SockBind(SOCKET s, int ws_family, const uint8_t* addr, uint16_t port_net);
[[nodiscard]] int SockListen(SOCKET s, int backlog);
// Accepts; the peer's IPv4 address and port (network order) are stored when
// the pointers are not null.
[[nodiscard]] SOCKET SockAccept(SOCKET s, uint8_t peer_addr[4], uint16_t* peer_port_net);
// Connects to an IPv4 address; gives up with WSAETIMEDOUT after timeout_ms
// (0 or less: the system's own time-out).
[[nodiscard]] int SockConnect(SOCKET s, const uint8_t addr[4], uint16_t port_net, int timeout_ms);
[[nodiscard]] int SockGetName(SOCKET s, uint8_t addr[4], uint16_t* port_net);
[[nodiscard]] int SockGetPeerName(SOCKET s, uint8_t addr[4], uint16_t* port_net);

// One send or receive: bytes moved, 0 (receive: peer closed) or SOCKET_ERROR.
[[nodiscard]] int SockSend(SOCKET s, const void* data, int length);
[[nodiscard]] int SockRecv(SOCKET s, void* data, int length);
// Sends all bytes; SOCKET_ERROR when any send fails. With a send time-out set
// (SockSetTimeouts) the whole call gives up with WSAETIMEDOUT once that long has
// passed without a byte leaving, however the bytes trickle out before.
[[nodiscard]] int SockSendAll(SOCKET s, const void* data, int length);

// Waits until the socket is readable or reports an error or hang-up:
// 1 ready, 0 timed out, SOCKET_ERROR on failure. timeout_ms < 0 waits forever.
[[nodiscard]] int SockWaitReadable(SOCKET s, int timeout_ms);
// The same for two sockets at once: a mask of the ready ones (1 the first, 2
// the second), 0 timed out, SOCKET_ERROR on failure. An INVALID_SOCKET second
// is not watched.
[[nodiscard]] int SockWaitReadableEither(SOCKET first, SOCKET second, int timeout_ms);
// Waits until a send would move at least one byte: 1, 0 timed out, SOCKET_ERROR.
[[nodiscard]] int SockWaitWritable(SOCKET s, int timeout_ms);

// Options.
int SockSetReuseAddr(SOCKET s);
int SockSetNoDelay(SOCKET s);
// Each later send or receive gives up after `seconds` without progress (0: never).
int SockSetTimeouts(SOCKET s, int seconds);
int SockSetBuffers(SOCKET s, int bytes);

// An address of either family. IPv4 peers that reach an IPv6 socket through
// an IPv4-mapped address (::ffff:a.b.c.d) come back as IPv4, so callers
// see one form of every IPv4 client whatever socket it reached.
struct SockAddress {
  int family;        // WS_AF_INET or WS_AF_INET6; 0 when unknown
  uint8_t addr[16];  // IPv4: the first four bytes
  uint16_t port;     // network byte order
};
// 4 for IPv4, 16 for IPv6, 0 otherwise.
int SockAddressLength(const SockAddress& a);
// Same family and address (ports are not compared).
bool SockAddressEqual(const SockAddress& a, const SockAddress& b);
// An IPv4 address as a SockAddress.
SockAddress SockAddressV4(const uint8_t addr[4], uint16_t port_net);

[[nodiscard]] SOCKET SockAcceptAddress(SOCKET s, SockAddress* peer);
[[nodiscard]] int SockConnectAddress(SOCKET s, const SockAddress& to, int timeout_ms);
[[nodiscard]] int SockGetNameAddress(SOCKET s, SockAddress* local);
[[nodiscard]] int SockGetPeerAddress(SOCKET s, SockAddress* peer);
// IPV6_V6ONLY: an IPv6 socket that is not "v6 only" also takes IPv4 clients
// (as mapped addresses) when it is bound to the unspecified address.
int SockSetV6Only(SOCKET s, BOOL on);
// Urgent data stays in the normal data stream (SO_OOBINLINE).
int SockSetOobInline(SOCKET s);
// FIONBIO: while on, a send or receive that would wait fails at once with
// WSAEWOULDBLOCK (a time-out of SockSetTimeouts gives WSAETIMEDOUT instead).
int SockSetNonBlocking(SOCKET s, BOOL on);
// Waits until `data` can take more bytes (`data_write`) or has some to read,
// or `ctrl` (unless INVALID_SOCKET) is readable; errors and hang-ups count as
// ready. A mask of 1 (data) and 2 (ctrl), 0 when timed out, or SOCKET_ERROR.
[[nodiscard]] int SockWaitEither(SOCKET data, BOOL data_write, SOCKET ctrl, int timeout_ms);

// The text of a SockAddress ("192.0.2.1", "2001:db8::1"); "?" when unknown.
void SockAddressText(const SockAddress& a, char* text, size_t size);

// Sends up to `count` bytes of a stream's file from its current position
// straight from the file system cache, and moves the stream's position past
// them. Bytes sent, 0 at end of file, -1 on failure (last error set: a send
// failure leaves a WSAE number, a read failure a Windows file error). A send
// time-out bounds the time without progress, as for SockSendAll. On a socket
// switched to non-blocking the call never waits: it returns what could be
// sent at once, or fails with WSAEWOULDBLOCK.
[[nodiscard]] int64_t SockTransmitFile(SOCKET s, FILE* stream, int64_t count);

// Name services (used at start-up).
[[nodiscard]] int SockGetHostName(char* name, int size);
// First IPv4 address of a host name or dotted address; 4 bytes into addr,
// the length into *length.
[[nodiscard]] int SockGetHostByName(const char* name, uint8_t* addr, int addr_size, int* length);
// First IPv6 address of a host name or address text; IPv4-only names give
// their mapped address (::ffff:a.b.c.d). 16 bytes into addr, 16 into *length.
[[nodiscard]] int SockGetHostByName6(const char* name, uint8_t* addr, int addr_size, int* length);
[[nodiscard]] int SockGetProtoByName(const char* name, int* number);
[[nodiscard]] int SockGetServByName(const char* name, const char* proto, uint16_t* port_net);
