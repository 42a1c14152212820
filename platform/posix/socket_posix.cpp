#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

int ErrnoToWsa(int err) {
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    default: return 10000 + err;
  }
}

int FailWsa() {
  SetLastError(static_cast<DWORD>(ErrnoToWsa(errno)));
  return SOCKET_ERROR;
}

// EAGAIN of a send or receive: the socket is non-blocking (would block) or
// one of its time-outs expired.
int FailAgain(SOCKET s) {
  errno = (fcntl(s, F_GETFL) & O_NONBLOCK) != 0 ? EAGAIN : ETIMEDOUT;
  return FailWsa();
}

int NativeDomain(int ws) {
  switch (ws) {
    case WS_AF_UNIX: return AF_UNIX;
    case WS_AF_INET: return AF_INET;
    case WS_AF_INET6: return AF_INET6;
    case WS_AF_IPX: return AF_IPX;
    default: return -1;
  }
}

int NativeType(int ws) {
  switch (ws) {
    case WS_SOCK_STREAM: return SOCK_STREAM;
    case WS_SOCK_DGRAM: return SOCK_DGRAM;
    case WS_SOCK_RAW: return SOCK_RAW;
    case WS_SOCK_RDM: return SOCK_RDM;
    case WS_SOCK_SEQPACKET: return SOCK_SEQPACKET;
    default: return -1;
  }
}

// A native socket address from a SockAddress; its length into *len.
void ToNative(const SockAddress& a, sockaddr_storage* ss, socklen_t* len) {
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

int ConnectNative(SOCKET s, const sockaddr* sa, socklen_t len, int timeout_ms) {
  if (timeout_ms <= 0) {
    if (connect(s, sa, len) != 0) return FailWsa();
    return 0;
  }
  int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(s, sa, len);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{s, POLLOUT, 0};
    int n;
    do {
      n = poll(&p, 1, timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
      fcntl(s, F_SETFL, flags);
      SetLastError(WSAETIMEDOUT);
      return SOCKET_ERROR;
    }
    int err = 0;
    socklen_t elen = sizeof err;
    if (n < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &elen) != 0) err = errno;
    rc = err == 0 ? 0 : -1;
    errno = err;
  }
  int saved = errno;
  fcntl(s, F_SETFL, flags);
  errno = saved;
  if (rc != 0) return FailWsa();
  return 0;
}

int NativeFamilyOrSelf(int ws_family) {
  int family = NativeDomain(ws_family);
  return family < 0 ? ws_family : family;
}

int SetIntOption(SOCKET s, int level, int name, int value) {
  if (setsockopt(s, level, name, &value, sizeof value) != 0) return FailWsa();
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
    SetLastError(rc == EAI_AGAIN    ? WSATRY_AGAIN
                 : rc == EAI_FAIL   ? WSANO_RECOVERY
                 : rc == EAI_NODATA ? WSANO_DATA
                                    : WSAHOST_NOT_FOUND);
    if (res) freeaddrinfo(res);
    return SOCKET_ERROR;
  }
  // Mapped addresses stay mapped here: they are what an IPv6 socket binds.
  const void* first = family == AF_INET6
                          ? static_cast<const void*>(
                                &reinterpret_cast<const sockaddr_in6*>(res->ai_addr)->sin6_addr)
                          : &reinterpret_cast<const sockaddr_in*>(res->ai_addr)->sin_addr;
  const int len = family == AF_INET6 ? 16 : 4;
  if (addr_size >= len) memcpy(addr, first, static_cast<size_t>(len));
  *length = len;
  freeaddrinfo(res);
  return 0;
}

// The socket's send time-out in milliseconds, 0 when none is set.
int SendTimeoutMs(SOCKET s) {
  timeval tv{};
  socklen_t len = sizeof tv;
  if (getsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, &len) != 0) return 0;
  long long ms = static_cast<long long>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
  return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

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
// room; false with WSAETIMEDOUT (or the poll error) set.
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

int PollFor(pollfd* fds, nfds_t count, int timeout_ms) {
  int n;
  do {
    n = poll(fds, count, timeout_ms);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

int SockLastError() { return static_cast<int>(GetLastError()); }

int SockStartup() {
  signal(SIGPIPE, SIG_IGN);
  struct rlimit rl;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  return 0;
}

void SockCleanup() {}

SOCKET SockCreate(int ws_domain, int ws_type, int protocol) {
  int domain = NativeDomain(ws_domain);
  int type = NativeType(ws_type);
  if (domain < 0) {
    SetLastError(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (type < 0) {
    SetLastError(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  int s = socket(domain, type | SOCK_CLOEXEC, protocol);
  if (s < 0) return FailWsa();
  return s;
}

int SockClose(SOCKET s) {
  if (close(s) != 0) return FailWsa();
  return 0;
}

int SockShutdown(SOCKET s, int how) {
  int native = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
  if (shutdown(s, native) != 0) return FailWsa();
  return 0;
}

int SockBind(SOCKET s, int ws_family, const uint8_t* addr, uint16_t port_net) {
  sockaddr_storage ss;
  socklen_t len;
  if (ws_family == WS_AF_INET6) {
    SockAddress a;
    memset(&a, 0, sizeof a);
    a.family = WS_AF_INET6;
    memcpy(a.addr, addr, 16);
    a.port = port_net;
    ToNative(a, &ss, &len);
  } else {
    // The family field says what the configuration asked for, also when it
    // is no IPv4 family: the system then refuses the bind.
    auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
    memset(&ss, 0, sizeof ss);
    sa->sin_family = static_cast<sa_family_t>(NativeFamilyOrSelf(ws_family));
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

int SockSend(SOCKET s, const void* data, int length) {
  ssize_t n;
  do {
    n = send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN) return FailAgain(s);
    return FailWsa();
  }
  return static_cast<int>(n);
}

int SockRecv(SOCKET s, void* data, int length) {
  ssize_t n;
  do {
    n = recv(s, data, static_cast<size_t>(length), 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN) return FailAgain(s);
    return FailWsa();
  }
  return static_cast<int>(n);
}

int SockSendAll(SOCKET s, const void* data, int length) {
  // Each send takes what fits at once and the waits are made here: a blocking
  // send that gives back part of its bytes after its time-out would otherwise
  // start a full new time-out for the rest.
  const char* p = static_cast<const char*>(data);
  int left = length;
  StallClock clock(s);
  while (left > 0) {
    ssize_t n = send(s, p, static_cast<size_t>(left), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      left -= static_cast<int>(n);
      clock.Progress();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return FailWsa();
    if (!WaitForRoom(s, clock)) return SOCKET_ERROR;
  }
  return length;
}

int SockWaitReadable(SOCKET s, int timeout_ms) {
  pollfd p{s, POLLIN | POLLPRI, 0};
  int n = PollFor(&p, 1, timeout_ms);
  if (n < 0) return FailWsa();
  return n > 0 ? 1 : 0;
}

int SockWaitReadableEither(SOCKET first, SOCKET second, int timeout_ms) {
  return SockWaitEither(first, FALSE, second, timeout_ms);
}

int SockWaitWritable(SOCKET s, int timeout_ms) {
  pollfd p{s, POLLOUT, 0};
  int n = PollFor(&p, 1, timeout_ms);
  if (n < 0) return FailWsa();
  return n > 0 ? 1 : 0;
}

int SockSetReuseAddr(SOCKET s) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

int SockSetNoDelay(SOCKET s) { return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1); }

int SockSetTimeouts(SOCKET s, int seconds) {
  timeval tv{seconds, 0};
  if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
    return FailWsa();
  return 0;
}

int SockSetBuffers(SOCKET s, int bytes) {
  if (setsockopt(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) != 0)
    return FailWsa();
  return 0;
}

int64_t SockTransmitFile(SOCKET s, FILE* stream, int64_t count) {
  int fd = fileno(stream);
  off_t pos = lseek(fd, 0, SEEK_CUR);
  if (pos < 0) {
    SetLastError(ErrnoToWin32(errno));
    return -1;
  }
  // Non-blocking for the same reason as SockSendAll: the waits are made here,
  // bounded by the time without progress. A socket that is non-blocking
  // already belongs to a caller that makes its own waits (watching another
  // socket meanwhile): it gets what could be sent, or WSAEWOULDBLOCK.
  int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return FailWsa();
  const bool caller_waits = (flags & O_NONBLOCK) != 0;
  StallClock clock(s);
  int64_t sent = 0;
  int64_t result = 0;
  while (sent < count) {
    ssize_t n = sendfile(s, fd, &pos, static_cast<size_t>(count - sent));
    if (n > 0) {
      sent += n;
      clock.Progress();
      continue;
    }
    if (n == 0) break;  // end of the file
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      if (caller_waits) {
        if (sent > 0) break;
        SetLastError(WSAEWOULDBLOCK);
      } else if (WaitForRoom(s, clock)) {
        continue;
      }
      result = -1;
      break;
    }
    // Errors of reading the file come back as file errors, the rest
    // belong to the socket.
    if (errno == EIO || errno == EOVERFLOW || errno == ESPIPE || errno == ENXIO)
      SetLastError(ErrnoToWin32(errno));
    else
      FailWsa();
    result = -1;
    break;
  }
  int saved = static_cast<int>(GetLastError());
  fcntl(s, F_SETFL, flags);
  SetLastError(static_cast<DWORD>(saved));
  if (result < 0) return -1;
  lseek(fd, pos, SEEK_SET);
  return sent;
}

SOCKET SockAcceptAddress(SOCKET s, SockAddress* peer) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  int c;
  do {
    c = accept4(s, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  if (c < 0) return FailWsa();
  if (peer) *peer = FromNative(ss);
  return c;
}

int SockConnectAddress(SOCKET s, const SockAddress& to, int timeout_ms) {
  sockaddr_storage ss;
  socklen_t len;
  ToNative(to, &ss, &len);
  return ConnectNative(s, reinterpret_cast<sockaddr*>(&ss), len, timeout_ms);
}

int SockGetNameAddress(SOCKET s, SockAddress* local) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailWsa();
  *local = FromNative(ss);
  return 0;
}

int SockGetPeerAddress(SOCKET s, SockAddress* peer) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailWsa();
  *peer = FromNative(ss);
  return 0;
}

int SockSetV6Only(SOCKET s, BOOL on) {
  return SetIntOption(s, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0);
}

int SockSetOobInline(SOCKET s) { return SetIntOption(s, SOL_SOCKET, SO_OOBINLINE, 1); }

int SockSetNonBlocking(SOCKET s, BOOL on) {
  int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0)
    return FailWsa();
  return 0;
}

int SockWaitEither(SOCKET data, BOOL data_write, SOCKET ctrl, int timeout_ms) {
  pollfd p[2] = {{data, static_cast<short>(data_write ? POLLOUT : POLLIN), 0},
                 {ctrl, POLLIN | POLLPRI, 0}};
  const nfds_t count = ctrl == INVALID_SOCKET ? 1 : 2;
  int n;
  do {
    n = poll(p, count, timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailWsa();
  int mask = 0;
  if (p[0].revents != 0) mask |= 1;
  if (count == 2 && p[1].revents != 0) mask |= 2;
  return mask;
}

int InetPton(int ws_family, const char* text, void* addr) {
  int family = NativeDomain(ws_family);
  if (family != AF_INET && family != AF_INET6) return 0;
  return inet_pton(family, text, addr) == 1 ? 1 : 0;
}

const char* InetNtop(int ws_family, const void* addr, char* text, size_t size) {
  int family = NativeDomain(ws_family);
  if (family != AF_INET && family != AF_INET6) return nullptr;
  return inet_ntop(family, addr, text, static_cast<socklen_t>(size));
}

int SockGetHostName(char* name, int size) {
  if (gethostname(name, static_cast<size_t>(size)) != 0) return FailWsa();
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
  protoent pe;
  protoent* result = nullptr;
  char buf[1024];
  if (getprotobyname_r(name, &pe, buf, sizeof buf, &result) != 0 || result == nullptr) {
    SetLastError(WSANO_DATA);
    return SOCKET_ERROR;
  }
  *number = result->p_proto;
  return 0;
}

int SockGetServByName(const char* name, const char* proto, uint16_t* port_net) {
  servent se;
  servent* result = nullptr;
  char buf[1024];
  if (getservbyname_r(name, proto, &se, buf, sizeof buf, &result) != 0 || result == nullptr) {
    SetLastError(WSANO_DATA);
    return SOCKET_ERROR;
  }
  *port_net = static_cast<uint16_t>(result->s_port);
  return 0;
}
