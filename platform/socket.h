// Sockets in the shape of Windows Sockets 2, for IPv4 stream sockets.
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

// Binds to an IPv4 address (4 bytes) and a port in network byte order; the
// address family field carries `ws_family`, as the caller's configuration says.
[[nodiscard]] int SockBind(SOCKET s, int ws_family, const uint8_t addr[4], uint16_t port_net);
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
// Switches between blocking and non-blocking calls (the ioctlsocket FIONBIO shape).
int SockSetNonBlocking(SOCKET s, BOOL on);

// Options.
int SockSetReuseAddr(SOCKET s);
int SockSetNoDelay(SOCKET s);
// Each later send or receive gives up after `seconds` without progress (0: never).
int SockSetTimeouts(SOCKET s, int seconds);
int SockSetBuffers(SOCKET s, int bytes);

// Sends up to `count` bytes of a stream's file from its current position
// straight from the file system cache, and moves the stream's position past
// them. Bytes sent, 0 at end of file, -1 on failure (last error set: a send
// failure leaves a WSAE number, a read failure a Windows file error). A send
// time-out bounds the time without progress, as for SockSendAll.
[[nodiscard]] int64_t SockTransmitFile(SOCKET s, FILE* stream, int64_t count);

// Name services (used at start-up).
[[nodiscard]] int SockGetHostName(char* name, int size);
// First IPv4 address of a host name or dotted address; 4 bytes into addr,
// the length into *length.
[[nodiscard]] int SockGetHostByName(const char* name, uint8_t* addr, int addr_size, int* length);
[[nodiscard]] int SockGetProtoByName(const char* name, int* number);
[[nodiscard]] int SockGetServByName(const char* name, const char* proto, uint16_t* port_net);
