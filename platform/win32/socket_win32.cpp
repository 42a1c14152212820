// The socket helpers of the layer over Windows Sockets 2. Waits use select,
// whose sets on Windows hold sockets by count, not by number, so no socket
// is ever too high for them (and WSAPoll differs between systems);
// sockets are made without handle inheritance, so a started program (the
// server under its service host) never holds a session's connection.
#include "platform/socket.h"

#include <mswsock.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace {

int FailWsa() {
  SetLastError(static_cast<DWORD>(WSAGetLastError()));
  return SOCKET_ERROR;
}

// Windows cannot tell whether a socket is non-blocking, and not every
// system honours SO_RCVTIMEO and SO_SNDTIMEO in blocking calls (Wine does
// not), so the layer keeps both for the sockets it was told about and makes
// the waits itself.
struct SocketState {
  bool nonblocking = false;
  int timeout_ms = 0;  // SockSetTimeouts; 0: none
};
std::mutex g_state_lock;
std::unordered_map<SOCKET, SocketState> g_state;

SocketState StateOf(SOCKET s) {
  std::lock_guard<std::mutex> lock(g_state_lock);
  auto it = g_state.find(s);
  return it == g_state.end() ? SocketState{} : it->second;
}

bool IsNonBlocking(SOCKET s) { return StateOf(s).nonblocking; }

// A new socket starts blocking and without time-outs, whatever an earlier
// socket of the same number was left with.
void ForgetState(SOCKET s) {
  std::lock_guard<std::mutex> lock(g_state_lock);
  g_state.erase(s);
}

// Switches the socket's blocking mode for one call of the layer, back to the
// caller's afterwards.
class NonBlockingForCall {
 public:
  explicit NonBlockingForCall(SOCKET s) : s_(s), caller_(IsNonBlocking(s)) {
    u_long on = 1;
    if (!caller_) ioctlsocket(s_, FIONBIO, &on);
  }
  ~NonBlockingForCall() {
    // The call's own error stays the last error.
    const DWORD error = GetLastError();
    u_long off = 0;
    if (!caller_) ioctlsocket(s_, FIONBIO, &off);
    SetLastError(error);
  }
  NonBlockingForCall(const NonBlockingForCall&) = delete;
  NonBlockingForCall& operator=(const NonBlockingForCall&) = delete;

 private:
  SOCKET s_;
  bool caller_;
};

// A native socket address from a SockAddress; its length into *len.
void ToNative(const SockAddress& a, sockaddr_storage* ss, int* len) {
  memset(ss, 0, sizeof *ss);
  if (a.family == WS_AF_INET6) {
    auto* sa = reinterpret_cast<sockaddr_in6*>(ss);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = a.port;
    memcpy(&sa->sin6_addr, a.addr, 16);
    *len = sizeof *sa;
  } else {
    auto* sa = reinterpret_cast<sockaddr_in*>(ss);
    sa->sin_family = AF_INET;
    sa->sin_port = a.port;
    memcpy(&sa->sin_addr, a.addr, 4);
    *len = sizeof *sa;
  }
}

// The SockAddress of a native one; IPv4-mapped IPv6 addresses become IPv4.
SockAddress FromNative(const sockaddr_storage& ss) {
  SockAddress a;
  memset(&a, 0, sizeof a);
  if (ss.ss_family == AF_INET) {
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&ss);
    a.family = WS_AF_INET;
    memcpy(a.addr, &sa->sin_addr, 4);
    a.port = sa->sin_port;
  } else if (ss.ss_family == AF_INET6) {
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(&ss);
    a.port = sa->sin6_port;
    if (IN6_IS_ADDR_V4MAPPED(&sa->sin6_addr)) {
      a.family = WS_AF_INET;
      memcpy(a.addr, sa->sin6_addr.s6_addr + 12, 4);
    } else {
      a.family = WS_AF_INET6;
      memcpy(a.addr, &sa->sin6_addr, 16);
    }
  }
  return a;
}

int ConnectNative(SOCKET s, const sockaddr* sa, int len, int timeout_ms) {
  if (timeout_ms <= 0) {
    if (connect(s, sa, len) != 0) return FailWsa();
    return 0;
  }
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  int rc = connect(s, sa, len);
  int err = rc == 0 ? 0 : WSAGetLastError();
  if (err == WSAEWOULDBLOCK) {
    // select, not WSAPoll: it reports a refused connection on every version.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(0, nullptr, &writable, &failed, &tv);
    if (n == 0) {
      err = WSAETIMEDOUT;
    } else if (n < 0) {
      err = WSAGetLastError();
    } else {
      int so_error = 0;
      int elen = sizeof so_error;
      getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&so_error), &elen);
      err = FD_ISSET(s, &failed) && so_error == 0 ? WSAECONNREFUSED : so_error;
    }
  }
  u_long restore = IsNonBlocking(s) ? 1 : 0;
  ioctlsocket(s, FIONBIO, &restore);
  if (err != 0) {
    SetLastError(static_cast<DWORD>(err));
    return SOCKET_ERROR;
  }
  return 0;
}

int SetIntOption(SOCKET s, int level, int name, int value) {
  if (setsockopt(s, level, name, reinterpret_cast<const char*>(&value), sizeof value) != 0)
    return FailWsa();
  return 0;
}

// The first address of a name in one family: 4 or 16 bytes into addr.
int FirstAddress(const char* name, int family, int flags, uint8_t* addr, int addr_size,
                 int* length) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = flags;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    SetLastError(rc == WSATRY_AGAIN || rc == WSANO_RECOVERY || rc == WSANO_DATA
                     ? static_cast<DWORD>(rc)
                     : WSAHOST_NOT_FOUND);
    if (res) freeaddrinfo(res);
    return SOCKET_ERROR;
  }
  int size = family == AF_INET6 ? 16 : 4;
  const void* bytes =
      family == AF_INET6
          ? static_cast<const void*>(
                &reinterpret_cast<const sockaddr_in6*>(res->ai_addr)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr);
  if (addr_size >= size) memcpy(addr, bytes, static_cast<size_t>(size));
  *length = size;
  freeaddrinfo(res);
  return 0;
}

// The socket's send time-out in milliseconds, 0 when none is set.
int SendTimeoutMs(SOCKET s) { return StateOf(s).timeout_ms; }

// Bounds the time without progress of a send loop: each byte that leaves
// restarts the allowance; a wait is only as long as what is left of it.
class StallClock {
 public:
  explicit StallClock(SOCKET s) : limit_ms_(SendTimeoutMs(s)), last_(Clock::now()) {}
  void Progress() { last_ = Clock::now(); }
  // Milliseconds a wait may take: -1 without a limit, 0 once it is used up.
  int Left() const {
    if (limit_ms_ <= 0) return -1;
    auto used = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_).count();
    return used >= limit_ms_ ? 0 : static_cast<int>(limit_ms_ - used);
  }

 private:
  using Clock = std::chrono::steady_clock;
  int limit_ms_;
  Clock::time_point last_;
};

// Waits for room to send within what the clock allows: true when there is
// room; false with WSAETIMEDOUT (or the wait's error) set.
bool WaitForRoom(SOCKET s, const StallClock& clock) {
  int left = clock.Left();
  if (left == 0) {
    SetLastError(WSAETIMEDOUT);
    return false;
  }
  int r = SockWaitWritable(s, left);
  if (r == 1) return true;
  if (r == 0) SetLastError(WSAETIMEDOUT);
  return false;
}

// Sends what is at `data` in pieces small enough to leave at once, each after
// a wait for room bounded by the clock.
int SendPieces(SOCKET s, const char* data, int length, StallClock& clock) {
  constexpr int kPiece = 64 * 1024;
  // A blocking send waits until all its bytes are buffered; this one takes
  // what fits and the waits are made here.
  NonBlockingForCall nonblocking(s);
  int left = length;
  while (left > 0) {
    if (!WaitForRoom(s, clock)) return SOCKET_ERROR;
    int n = send(s, data, left < kPiece ? left : kPiece, 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
    if (n == SOCKET_ERROR) return FailWsa();
    data += n;
    left -= n;
    clock.Progress();
  }
  return length;
}

// Waits until `first` can be read (or written, with `first_write`) or
// `second` (unless INVALID_SOCKET) can be read; a closed or reset connection
// counts as readable. A mask of 1 (first) and 2 (second), 0 when timed out
// (timeout_ms < 0: never), or SOCKET_ERROR. No set of exceptions is asked
// for: Wine answers it by taking the socket's pending error, which the
// receive that follows must report.
int WaitSockets(SOCKET first, bool first_write, SOCKET second, int timeout_ms) {
  fd_set readable;
  fd_set writable;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_SET(first, first_write ? &writable : &readable);
  if (second != INVALID_SOCKET) FD_SET(second, &readable);
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int n = select(0, &readable, &writable, nullptr, timeout_ms < 0 ? nullptr : &tv);
  if (n == SOCKET_ERROR) return FailWsa();
  if (n == 0) return 0;
  int mask = 0;
  if (FD_ISSET(first, &readable) || FD_ISSET(first, &writable)) mask |= 1;
  if (second != INVALID_SOCKET && FD_ISSET(second, &readable)) mask |= 2;
  return mask;
}

// SockTransmitFile for a caller that makes its own waits: what can be sent at
// once, the stream left just past it; WSAEWOULDBLOCK when nothing could go.
int64_t TransmitWithoutWaiting(SOCKET s, FILE* stream, int64_t count, char* buffer,
                               size_t buffer_size) {
  int64_t start = _ftelli64(stream);
  size_t want =
      count < static_cast<int64_t>(buffer_size) ? static_cast<size_t>(count) : buffer_size;
  size_t got = fread(buffer, 1, want, stream);
  if (got == 0) {
    if (ferror(stream)) {
      SetLastError(ErrnoToWin32(errno));
      return -1;
    }
    return 0;
  }
  int sent = 0;
  while (static_cast<size_t>(sent) < got) {
    int n = send(s, buffer + sent, static_cast<int>(got) - sent, 0);
    if (n == SOCKET_ERROR) {
      if (WSAGetLastError() != WSAEWOULDBLOCK) return FailWsa();
      if (sent == 0) {
        _fseeki64(stream, start, SEEK_SET);
        SetLastError(WSAEWOULDBLOCK);
        return -1;
      }
      break;
    }
    sent += n;
  }
  _fseeki64(stream, start + sent, SEEK_SET);
  return sent;
}

}  // namespace

int SockLastError() { return static_cast<int>(GetLastError()); }

int SockStartup() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data);
}

void SockCleanup() { WSACleanup(); }

SOCKET SockCreate(int ws_domain, int ws_type, int protocol) {
  // Windows numbers families and types as the layer does.
  SOCKET s = WSASocketW(ws_domain, ws_type, protocol, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET)
    FailWsa();
  else
    ForgetState(s);
  return s;
}

int SockClose(SOCKET s) {
  ForgetState(s);
  if (closesocket(s) != 0) return FailWsa();
  return 0;
}

int SockShutdown(SOCKET s, int how) {
  if (shutdown(s, how) != 0) return FailWsa();
  return 0;
}

int SockBind(SOCKET s, int ws_family, const uint8_t* addr, uint16_t port_net) {
  sockaddr_storage ss;
  int len;
  if (ws_family == WS_AF_INET6) {
    SockAddress a;
    memset(&a, 0, sizeof a);
    a.family = WS_AF_INET6;
    memcpy(a.addr, addr, 16);
    a.port = port_net;
    ToNative(a, &ss, &len);
  } else {
    // The family field says what the configuration asked for, also when it
    // is no IPv4 family: the system then refuses the bind. Windows numbers
    // the families as the layer does.
    auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
    memset(&ss, 0, sizeof ss);
    sa->sin_family = static_cast<ADDRESS_FAMILY>(ws_family);
    sa->sin_port = port_net;
    memcpy(&sa->sin_addr, addr, 4);
    len = sizeof *sa;
  }
  if (bind(s, reinterpret_cast<sockaddr*>(&ss), len) != 0) return FailWsa();
  return 0;
}

int SockListen(SOCKET s, int backlog) {
  if (listen(s, backlog) != 0) return FailWsa();
  return 0;
}

// One send or receive: a time-out of SockSetTimeouts is the system's own
// (SO_SNDTIMEO, SO_RCVTIMEO). A wait made here before the call would not do
// under Wine, which does not honour them: there a connection reset during
// the wait reads as an orderly end.
int SockSend(SOCKET s, const void* data, int length) {
  int n = send(s, static_cast<const char*>(data), length, 0);
  if (n == SOCKET_ERROR) return FailWsa();
  return n;
}

int SockRecv(SOCKET s, void* data, int length) {
  int n = recv(s, static_cast<char*>(data), length, 0);
  if (n == SOCKET_ERROR) return FailWsa();
  return n;
}

int SockSendAll(SOCKET s, const void* data, int length) {
  StallClock clock(s);
  return SendPieces(s, static_cast<const char*>(data), length, clock);
}

int SockWaitReadable(SOCKET s, int timeout_ms) {
  int r = WaitSockets(s, false, INVALID_SOCKET, timeout_ms);
  return r == SOCKET_ERROR ? SOCKET_ERROR : (r != 0 ? 1 : 0);
}

int SockWaitReadableEither(SOCKET first, SOCKET second, int timeout_ms) {
  return SockWaitEither(first, FALSE, second, timeout_ms);
}

int SockWaitWritable(SOCKET s, int timeout_ms) {
  int r = WaitSockets(s, true, INVALID_SOCKET, timeout_ms);
  return r == SOCKET_ERROR ? SOCKET_ERROR : (r != 0 ? 1 : 0);
}

int SockSetNonBlocking(SOCKET s, BOOL on) {
  u_long value = on ? 1 : 0;
  if (ioctlsocket(s, FIONBIO, &value) != 0) return FailWsa();
  std::lock_guard<std::mutex> lock(g_state_lock);
  g_state[s].nonblocking = on != FALSE;
  return 0;
}

int SockSetReuseAddr(SOCKET s) {
  // Windows lets a second socket take a port that SO_REUSEADDR marks, even
  // while the first one listens; the closed connections' ports are free
  // anyway. Exclusive use is what the server wants.
  BOOL on = TRUE;
  if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof on) != 0)
    return FailWsa();
  return 0;
}

int SockSetNoDelay(SOCKET s) {
  BOOL on = TRUE;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0)
    return FailWsa();
  return 0;
}

int SockSetTimeouts(SOCKET s, int seconds) {
  DWORD ms = static_cast<DWORD>(seconds) * 1000;
  if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms) != 0)
    return FailWsa();
  std::lock_guard<std::mutex> lock(g_state_lock);
  g_state[s].timeout_ms = static_cast<int>(ms);
  return 0;
}

int SockSetBuffers(SOCKET s, int bytes) {
  if (setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) !=
          0 ||
      setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) !=
          0)
    return FailWsa();
  return 0;
}

int64_t SockTransmitFile(SOCKET s, FILE* stream, int64_t count) {
  // Read from the stream's position and sent in pieces: the stream's own
  // position moves with what is read, and the send waits stay bounded by the
  // time without progress as in SockSendAll.
  static thread_local char buffer[64 * 1024];
  if (IsNonBlocking(s)) return TransmitWithoutWaiting(s, stream, count, buffer, sizeof buffer);
  StallClock clock(s);
  int64_t sent = 0;
  while (sent < count) {
    size_t want = count - sent < static_cast<int64_t>(sizeof buffer)
                      ? static_cast<size_t>(count - sent)
                      : sizeof buffer;
    size_t got = fread(buffer, 1, want, stream);
    if (got == 0) {
      if (ferror(stream)) {
        SetLastError(ErrnoToWin32(errno));
        return -1;
      }
      break;  // end of the file
    }
    if (SendPieces(s, buffer, static_cast<int>(got), clock) == SOCKET_ERROR) return -1;
    sent += static_cast<int64_t>(got);
  }
  return sent;
}

int SockGetHostName(char* name, int size) {
  if (gethostname(name, size) != 0) return FailWsa();
  name[size - 1] = '\0';
  return 0;
}

int SockGetHostByName(const char* name, uint8_t* addr, int addr_size, int* length) {
  return FirstAddress(name, AF_INET, 0, addr, addr_size, length);
}

int SockGetHostByName6(const char* name, uint8_t* addr, int addr_size, int* length) {
  return FirstAddress(name, AF_INET6, AI_V4MAPPED, addr, addr_size, length);
}

int SockGetProtoByName(const char* name, int* number) {
  const protoent* pe = getprotobyname(name);
  if (pe == nullptr) {
    SetLastError(WSANO_DATA);
    return SOCKET_ERROR;
  }
  *number = pe->p_proto;
  return 0;
}

int SockGetServByName(const char* name, const char* proto, uint16_t* port_net) {
  const servent* se = getservbyname(name, proto);
  if (se == nullptr) {
    SetLastError(WSANO_DATA);
    return SOCKET_ERROR;
  }
  *port_net = static_cast<uint16_t>(se->s_port);
  return 0;
}

SOCKET SockAcceptAddress(SOCKET s, SockAddress* peer) {
  sockaddr_storage ss;
  int len = sizeof ss;
  SOCKET c = accept(s, reinterpret_cast<sockaddr*>(&ss), &len);
  if (c == INVALID_SOCKET) {
    FailWsa();
    return INVALID_SOCKET;
  }
  // An accepted socket takes the listening one's flags: never inherited,
  // and blocking whatever the listener is.
  SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
  u_long off = 0;
  ioctlsocket(c, FIONBIO, &off);
  ForgetState(c);
  if (peer) *peer = FromNative(ss);
  return c;
}

int SockConnectAddress(SOCKET s, const SockAddress& to, int timeout_ms) {
  sockaddr_storage ss;
  int len;
  ToNative(to, &ss, &len);
  return ConnectNative(s, reinterpret_cast<sockaddr*>(&ss), len, timeout_ms);
}

int SockGetNameAddress(SOCKET s, SockAddress* local) {
  sockaddr_storage ss;
  int len = sizeof ss;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailWsa();
  *local = FromNative(ss);
  return 0;
}

int SockGetPeerAddress(SOCKET s, SockAddress* peer) {
  sockaddr_storage ss;
  int len = sizeof ss;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailWsa();
  *peer = FromNative(ss);
  return 0;
}

int SockSetV6Only(SOCKET s, BOOL on) {
  return SetIntOption(s, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0);
}

int SockSetOobInline(SOCKET s) { return SetIntOption(s, SOL_SOCKET, SO_OOBINLINE, 1); }

int SockWaitEither(SOCKET data, BOOL data_write, SOCKET ctrl, int timeout_ms) {
  return WaitSockets(data, data_write != FALSE, ctrl, timeout_ms);
}
