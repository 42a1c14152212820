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

sockaddr_in MakeAddr(int family, const uint8_t addr[4], uint16_t port_net) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = static_cast<sa_family_t>(family);
  sa.sin_port = port_net;
  memcpy(&sa.sin_addr, addr, 4);
  return sa;
}

void SplitAddr(const sockaddr_storage& ss, uint8_t addr[4], uint16_t* port_net) {
  if (ss.ss_family == AF_INET) {
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&ss);
    if (addr) memcpy(addr, &sa->sin_addr, 4);
    if (port_net) *port_net = sa->sin_port;
  } else if (ss.ss_family == AF_INET6) {
    // An IPv4-mapped peer shows as its IPv4 address; others as 0.0.0.0.
    const auto* sa = reinterpret_cast<const sockaddr_in6*>(&ss);
    if (addr) {
      if (IN6_IS_ADDR_V4MAPPED(&sa->sin6_addr))
        memcpy(addr, sa->sin6_addr.s6_addr + 12, 4);
      else
        memset(addr, 0, 4);
    }
    if (port_net) *port_net = sa->sin6_port;
  } else {
    if (addr) memset(addr, 0, 4);
    if (port_net) *port_net = 0;
  }
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

int SockBind(SOCKET s, int ws_family, const uint8_t addr[4], uint16_t port_net) {
  int family = NativeDomain(ws_family);
  sockaddr_in sa = MakeAddr(family < 0 ? ws_family : family, addr, port_net);
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return FailWsa();
  return 0;
}

int SockListen(SOCKET s, int backlog) {
  if (listen(s, backlog) != 0) return FailWsa();
  return 0;
}

SOCKET SockAccept(SOCKET s, uint8_t peer_addr[4], uint16_t* peer_port_net) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  int c;
  do {
    c = accept4(s, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  if (c < 0) return FailWsa();
  SplitAddr(ss, peer_addr, peer_port_net);
  return c;
}

int SockConnect(SOCKET s, const uint8_t addr[4], uint16_t port_net, int timeout_ms) {
  sockaddr_in sa = MakeAddr(AF_INET, addr, port_net);
  if (timeout_ms <= 0) {
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return FailWsa();
    return 0;
  }
  int flags = fcntl(s, F_GETFL);
  fcntl(s, F_SETFL, flags | O_NONBLOCK);
  int rc = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
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
    socklen_t len = sizeof err;
    if (n < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    rc = err == 0 ? 0 : -1;
    errno = err;
  }
  int saved = errno;
  fcntl(s, F_SETFL, flags);
  errno = saved;
  if (rc != 0) return FailWsa();
  return 0;
}

int SockGetName(SOCKET s, uint8_t addr[4], uint16_t* port_net) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailWsa();
  SplitAddr(ss, addr, port_net);
  return 0;
}

int SockGetPeerName(SOCKET s, uint8_t addr[4], uint16_t* port_net) {
  sockaddr_storage ss;
  socklen_t len = sizeof ss;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return FailWsa();
  SplitAddr(ss, addr, port_net);
  return 0;
}

int SockSend(SOCKET s, const void* data, int length) {
  ssize_t n;
  do {
    n = send(s, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN) errno = ETIMEDOUT;  // a send time-out expired
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
    if (errno == EAGAIN) errno = ETIMEDOUT;  // a receive time-out expired
    return FailWsa();
  }
  return static_cast<int>(n);
}

int SockSendAll(SOCKET s, const void* data, int length) {
  const char* p = static_cast<const char*>(data);
  int left = length;
  while (left > 0) {
    int n = SockSend(s, p, left);
    if (n <= 0) return SOCKET_ERROR;
    p += n;
    left -= n;
  }
  return length;
}

int SockWaitReadable(SOCKET s, int timeout_ms) {
  pollfd p{s, POLLIN | POLLPRI, 0};
  int n;
  do {
    n = poll(&p, 1, timeout_ms);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailWsa();
  return n > 0 ? 1 : 0;
}

int SockSetReuseAddr(SOCKET s) {
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return FailWsa();
  return 0;
}

int SockSetNoDelay(SOCKET s) {
  int on = 1;
  if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return FailWsa();
  return 0;
}

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
  ssize_t n;
  do {
    n = sendfile(s, fd, &pos, static_cast<size_t>(count));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    // Errors of reading the file come back as file errors, the rest
    // belong to the socket.
    if (errno == EIO || errno == EOVERFLOW || errno == ESPIPE || errno == ENXIO) {
      SetLastError(ErrnoToWin32(errno));
      return -1;
    }
    if (errno == EAGAIN) errno = ETIMEDOUT;
    return FailWsa();
  }
  lseek(fd, pos, SEEK_SET);
  return n;
}

int SockGetHostName(char* name, int size) {
  if (gethostname(name, static_cast<size_t>(size)) != 0) return FailWsa();
  name[size - 1] = '\0';
  return 0;
}

int SockGetHostByName(const char* name, uint8_t* addr, int addr_size, int* length) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
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
  const auto* sa = reinterpret_cast<const sockaddr_in*>(res->ai_addr);
  if (addr_size >= 4) memcpy(addr, &sa->sin_addr, 4);
  *length = 4;
  freeaddrinfo(res);
  return 0;
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
