#include "torvad/Tls.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/SessionIo.h"

namespace {

// Made once at start-up, only read afterwards. The library (3.x) does its own
// locking for a context shared by several threads.
SSL_CTX* g_ctx = nullptr;

// Data connections resume the control connection's session for clients that
// demand it (server-side cache and tickets); a session is only ever resumed
// under the id context it was made in.
constexpr unsigned char kSessionContext[] = "torvad";

// Lines of the handshake logger, in the order in which they are written.
struct InfoBit {
  int bit;
  const char* text;
};
constexpr InfoBit kInfoBits[] = {
    {0x01, "- SSL_CB_LOOP"},           {0x02, "- SSL_CB_EXIT"},
    {0x04, "- SSL_CB_READ"},           {0x08, "- SSL_CB_WRITE"},
    {0x4000, "- SSL_CB_ALERT"},        {0x10, "- SSL_CB_HANDSHAKE_START"},
    {0x20, "- SSL_CB_HANDSHAKE_DONE"}, {0x1000, "- SSL_ST_CONNECT"}};

// The certificate and key files: in "ConfigDir", else in the conf directory
// below "Path". false after logging why.
bool KeyFilePaths(char (&cert)[320], char (&pkey)[320]) {
  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_READ, key.Receive());
  if (rc != 0) {
    LogFailed(1, "RegOpenKeyEx", static_cast<DWORD>(rc));
    return false;
  }
  char dir[261];
  if (RegQueryString(key.Get(), torva::kValueConfigDir, dir) == 0) {
    torva::FormatInto(cert, "%s/csr.pem", dir);
    torva::FormatInto(pkey, "%s/private.pem", dir);
  } else if ((rc = RegQueryString(key.Get(), torva::kValuePath, dir)) == 0) {
    torva::FormatInto(cert, "%s/%s/csr.pem", dir, torva::kDirConf);
    torva::FormatInto(pkey, "%s/%s/private.pem", dir, torva::kDirConf);
  } else {
    LogFailed(1, "RegQueryValueEx", static_cast<DWORD>(rc));
    return false;
  }
  return true;
}

// A server has nobody to type a pass phrase: an encrypted key does not load.
int NoPassPhrase(char*, int, int, void*) { return -1; }

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using UniquePkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// The private key of a PEM file, or null with the reason in the error queue.
UniquePkey ReadPrivateKey(const char* path) {
  std::unique_ptr<BIO, BioDeleter> file(BIO_new_file(path, "r"));
  if (!file) return nullptr;
  return UniquePkey(PEM_read_bio_PrivateKey(file.get(), nullptr, NoPassPhrase, nullptr));
}

// With tls13: AES-128-GCM first in both TLS 1.2 and TLS 1.3 whenever the
// client offers it (the processor's AES instructions make it the cheapest
// strong cipher), then the library's defaults in their order. False when the
// library refuses the lists.
bool PreferAes128Gcm(SSL_CTX* ctx) {
  // "DEFAULT" only means the library's defaults as the first word of a list;
  // this is what it stands for, in its order.
  static constexpr char kTls12[] =
      "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ALL:!COMPLEMENTOFDEFAULT:!eNULL";
  static constexpr char kTls13[] =
      "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
  if (SSL_CTX_set_cipher_list(ctx, kTls12) != 1 || SSL_CTX_set_ciphersuites(ctx, kTls13) != 1)
    return false;
  SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  return true;
}

// Logs why start-up stops (after the library's own errors when asked) and
// drops the half-made context.
int Fail(const char* message, bool print_errors) {
  if (print_errors) TlsPrintErrors();
  if (message != nullptr) LogWrite(1, "%s", message);
  if (g_ctx != nullptr) {
    SSL_CTX_free(g_ctx);
    g_ctx = nullptr;
  }
  return -1;
}

void SslInfoCallback(const SSL* ssl, int where, int ret) {
  LogWrite(4, "AUTH callback: where=%d / ret=%d", where, ret);
  for (const auto& b : kInfoBits)
    if (where & b.bit) LogWrite(4, "%s", b.text);
  if (ret <= 0) {
    if (ssl != nullptr) LogWrite(4, "- status=%s", SSL_state_string(ssl));
    SslStackDump();
  }
}

// The bound on a handshake or a request: the socket BIO asks before every
// read whether time is left and waits for the peer's bytes only that long, so
// a peer that sends one byte at a time cannot stretch the wait.
// OpenSSL keeps a socket as an int on every system; a Windows socket number
// fits in one.
int SslFd(SOCKET sock) { return static_cast<int>(sock); }

// The socket an SSL object was given, INVALID_SOCKET when none.
SOCKET SslSocket(const SSL* ssl) {
  int fd = SSL_get_fd(ssl);
  return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

struct ReadDeadline {
  SOCKET sock;
  std::chrono::steady_clock::time_point end;
};

long ReadGate(BIO* bio, int oper, const char*, size_t, int, long, int ret, size_t*) {
  if (oper != BIO_CB_READ) return ret;  // only before a read
  auto* d = reinterpret_cast<ReadDeadline*>(BIO_get_callback_arg(bio));
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                  d->end - std::chrono::steady_clock::now())
                  .count();
  if (left <= 0) return -1;
  if (SockWaitReadable(d->sock, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left)) != 1)
    return -1;
  return ret;
}

// Runs `call` with every read of the session's socket gated by a deadline
// `ms` milliseconds away (no gate for ms < 0).
template <typename Call>
int WithReadDeadline(SSL* ssl, long long ms, Call call) {
  BIO* bio = SSL_get_rbio(ssl);
  ReadDeadline deadline{SslSocket(ssl),
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)};
  const bool gated = ms >= 0 && bio != nullptr && deadline.sock != INVALID_SOCKET;
  if (gated) {
    BIO_set_callback_arg(bio, reinterpret_cast<char*>(&deadline));
    BIO_set_callback_ex(bio, ReadGate);
  }
  int ret = call();
  if (gated) {
    BIO_set_callback_ex(bio, nullptr);
    BIO_set_callback_arg(bio, nullptr);
  }
  return ret;
}

// A failed session sends nothing more, not even its close alert: the peer is
// gone or misbehaving, and a write could wait for the whole send time-out.
void MarkFailed(SSL* ssl, int ret) {
  if (ret > 0) return;
  int err = SSL_get_error(ssl, ret);
  if (err != SSL_ERROR_ZERO_RETURN) SSL_set_quiet_shutdown(ssl, 1);
}

// After a call that failed: true (and nothing marked) when the caller asked
// to repeat calls that merely ran into the socket's time-out.
bool RepeatOrMark(SSL* ssl, int ret, bool* would_block) {
  if (ret > 0) return false;
  if (would_block != nullptr) {
    int err = SSL_get_error(ssl, ret);
    *would_block = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE;
    if (*would_block) return true;
  }
  MarkFailed(ssl, ret);
  return false;
}

// Gives a data connection the session id context of its control connection.
bool SameSessionContext(SSL* data, SSL* ctrl) {
  const SSL_SESSION* session = SSL_get_session(ctrl);
  if (session == nullptr) return false;
  unsigned int length = 0;
  const unsigned char* context = SSL_SESSION_get0_id_context(session, &length);
  return SSL_set_session_id_context(data, context, length) == 1;
}

}  // namespace

int TlsStartup() {
  LogWrite(3, "OpenSSL library is initializing.");
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  const int mech = Config().auth_mechanism;
  const SSL_METHOD* method = nullptr;
  if (mech == AUTH_SSL) {
    LogWrite(3, "Loading the SSL2&3 protocol methods.");
    method = TLS_server_method();
  } else if (mech == AUTH_TLS) {
    LogWrite(3, "Loading the TLS protocol methods.");
    method = TLS_server_method();
  } else {
    // SSL 3.0 alone is no longer offered by the library.
    LogWrite(3, "Loading the SSL3 protocol methods.");
  }
  if (method == nullptr) {
    return Fail(mech == AUTH_TLS ? "Failed to loading the TLS protocol methods."
                                 : "Failed to loading the SSL protocol methods.",
                false);
  }

  LogWrite(3, "Loading the OpenSSL context.");
  g_ctx = SSL_CTX_new(method);
  if (g_ctx == nullptr) return Fail("Failed to loading the context.", true);
  // "SSL" allows every version the library permits; "TLS" exactly TLS 1.2,
  // or TLS 1.2 and 1.3 with tls13 on.
  const int tls_max = Config().tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
  bool versions_ok = mech == AUTH_TLS ? SSL_CTX_set_min_proto_version(g_ctx, TLS1_2_VERSION) == 1 &&
                                            SSL_CTX_set_max_proto_version(g_ctx, tls_max) == 1
                                      : SSL_CTX_set_min_proto_version(g_ctx, 0) == 1 &&
                                            SSL_CTX_set_max_proto_version(g_ctx, 0) == 1;
  if (versions_ok && Config().tls13) versions_ok = PreferAes128Gcm(g_ctx);
  if (!versions_ok) {
    return Fail(mech == AUTH_TLS ? "Failed to loading the TLS protocol methods."
                                 : "Failed to loading the SSL protocol methods.",
                true);
  }
  SSL_CTX_set_session_id_context(g_ctx, kSessionContext, sizeof kSessionContext - 1);
  SSL_CTX_set_session_cache_mode(g_ctx, SSL_SESS_CACHE_SERVER);
  // Idle control connections give their buffers back; data connections keep
  // theirs (DataTlsStart).
  SSL_CTX_set_mode(g_ctx, SSL_MODE_RELEASE_BUFFERS);

  char cert[320];
  char pkey[320];
  if (!KeyFilePaths(cert, pkey)) return Fail(nullptr, false);

  // The chain variant also accepts intermediate certificates after the
  // server's own in the same file.
  LogWrite(3, "Loading csr.pem");
  if (SSL_CTX_use_certificate_chain_file(g_ctx, cert) != 1)
    return Fail("SSL_CTX_use_certificate_file() error.", true);
  // The library refuses to install a key that does not match the
  // certificate, so the key is read here and installed by the check below:
  // a key file that cannot be read and a key of another certificate stay two
  // different failures.
  LogWrite(3, "Loading private.pem");
  UniquePkey private_key = ReadPrivateKey(pkey);
  if (!private_key) return Fail("SSL_CTXuse_PrivateKey_file() error.", true);
  LogWrite(3, "Checking private.pem");
  int installed = SSL_CTX_use_PrivateKey(g_ctx, private_key.get());
  if (installed != 1 || SSL_CTX_check_private_key(g_ctx) != 1)
    return Fail("SSL_CTX_check_private_key() error.", true);
  return 0;
}

bool TlsEnabled() { return g_ctx != nullptr; }

void TlsPrintErrors() {
  ScopedLogLock lock;
  ERR_print_errors_fp(stdout);
  fflush(stdout);
}

void SslStackDump() {
  printf("*** SSL stack dump ***\n");
  const char* file = nullptr;
  int line = 0;
  while (ERR_get_error_all(&file, &line, nullptr, nullptr, nullptr) != 0)
    printf(" - %s@%d\n", file ? file : "", line);
  printf("[eod]\n");
  fflush(stdout);
}

ssl_st* TlsNew() {
  if (g_ctx == nullptr) return nullptr;
  SSL* ssl = SSL_new(g_ctx);
  if (ssl != nullptr && Config().require_ssl_reuse) {
    // A session id context of this control connection alone: the library
    // resumes a session only under the context it was made in, so a data
    // connection that resumes one (DataTlsStart copies the context) resumes
    // this connection's session, never one of another client.
    unsigned char context[SSL_MAX_SID_CTX_LENGTH];
    if (RAND_bytes(context, sizeof context) != 1 ||
        SSL_set_session_id_context(ssl, context, sizeof context) != 1) {
      SSL_free(ssl);
      return nullptr;
    }
  }
  return ssl;
}
int TlsSetFd(ssl_st* ssl, SOCKET sock) { return SSL_set_fd(ssl, SslFd(sock)); }

int TlsAccept(ssl_st* ssl) {
  const int seconds = Config().session_timeout;
  ERR_clear_error();
  int ret =
      WithReadDeadline(ssl, seconds > 0 ? seconds * 1000LL : -1, [ssl] { return SSL_accept(ssl); });
  MarkFailed(ssl, ret);
  return ret;
}

int TlsGetError(ssl_st* ssl, int ret) { return SSL_get_error(ssl, ret); }

// The library's verdict on a failed call reads the thread's error queue, so
// every call starts with an empty one.
int TlsRead(ssl_st* ssl, void* buffer, int length, bool* would_block) {
  ERR_clear_error();
  int n = SSL_read(ssl, buffer, length);
  RepeatOrMark(ssl, n, would_block);
  return n;
}

int TlsReadWithin(ssl_st* ssl, void* buffer, int length, int timeout_ms) {
  ERR_clear_error();
  int n = WithReadDeadline(ssl, timeout_ms < 0 ? 0 : timeout_ms,
                           [=] { return SSL_read(ssl, buffer, length); });
  MarkFailed(ssl, n);
  return n;
}

int TlsWrite(ssl_st* ssl, const void* data, int length, bool* would_block) {
  const long long limit_ms = Config().session_timeout * 1000LL;
  const SOCKET sock = SslSocket(ssl);
  if (would_block != nullptr) {
    // The caller keeps the socket non-blocking and makes its own waits,
    // watching the control connection meanwhile.
    ERR_clear_error();
    int n = SSL_write(ssl, data, length);
    RepeatOrMark(ssl, n, would_block);
    return n;
  }
  if (limit_ms <= 0 || sock == INVALID_SOCKET) {
    ERR_clear_error();
    int n = SSL_write(ssl, data, length);
    MarkFailed(ssl, n);
    return n;
  }
  // The socket is non-blocking for this call and the waits are made here,
  // each only as long as is left of session-timeout since the last byte that
  // left: a blocking write that gives back part of a record after its
  // time-out would start a full new time-out for the rest, so a client that
  // stopped reading held its session for several times session-timeout.
  using Clock = std::chrono::steady_clock;
  BIO* wbio = SSL_get_wbio(ssl);
  uint64_t moved = wbio != nullptr ? BIO_number_written(wbio) : 0;
  Clock::time_point last = Clock::now();
  SockSetNonBlocking(sock, TRUE);
  int n;
  for (;;) {
    ERR_clear_error();
    n = SSL_write(ssl, data, length);
    if (n > 0) break;
    int err = SSL_get_error(ssl, n);
    if (err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) break;
    if (uint64_t now_moved = wbio != nullptr ? BIO_number_written(wbio) : 0; now_moved != moved) {
      moved = now_moved;
      last = Clock::now();
    }
    long long left =
        limit_ms -
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last).count();
    if (left <= 0) break;
    int wait_ms = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
    int ready = err == SSL_ERROR_WANT_WRITE ? SockWaitWritable(sock, wait_ms)
                                            : SockWaitReadable(sock, wait_ms);
    if (ready != 1) break;
  }
  SockSetNonBlocking(sock, FALSE);
  MarkFailed(ssl, n);
  return n;
}

void TlsSetQuietShutdown(ssl_st* ssl) {
  if (ssl != nullptr) SSL_set_quiet_shutdown(ssl, 1);
}

bool TlsClosedByPeer(ssl_st* ssl, int ret) {
  return ret == 0 && SSL_get_error(ssl, ret) == SSL_ERROR_ZERO_RETURN;
}

int TlsPending(ssl_st* ssl) { return SSL_pending(ssl) > 0 || SSL_has_pending(ssl) ? 1 : 0; }

void TlsCloseNotify(ssl_st* ssl) {
  // A session whose handshake never finished or that failed has nothing to
  // close; the library refuses those by itself, and the quiet flag covers
  // failures of plain socket calls.
  if (ssl != nullptr && SSL_is_init_finished(ssl)) SSL_shutdown(ssl);
  ERR_clear_error();
}

void TlsFree(ssl_st* ssl) {
  SSL_free(ssl);
  ERR_clear_error();
}

void TlsSetInfoCallback(ssl_st* ssl) { SSL_set_info_callback(ssl, SslInfoCallback); }

int DataTlsStart(FtpTbl* ftp, SOCKET ctrl_sock) {
  if (ftp->prot_level != 3) return 0;
  if (ftp->data_ssl != nullptr) {
    TlsFree(ftp->data_ssl);
    ftp->data_ssl = nullptr;
  }
  const char* kReply = "425 Can't open data connection. (SSL)";
  if (g_ctx == nullptr) {
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  UniqueTls ssl(SSL_new(g_ctx));
  if (!ssl) {
    TlsPrintErrors();
    LogWrite(1, "SSL_new() error.");
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  if (int r = SSL_set_fd(ssl.get(), SslFd(ftp->data_sock)); r != 1) {
    TlsPrintErrors();
    LogWrite(1, "SSL_set_fd() error. (ret=%d)", r);
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  // Bulk transfers: keep the record buffers for the whole connection, read
  // a record's header and body in one go, and issue no tickets (clients
  // resume the control connection's session, and an uploading client never
  // reads them). A read buffer of several records was measured slower for
  // uploads: the client and the server then take turns instead of streaming.
  SSL_clear_mode(ssl.get(), SSL_MODE_RELEASE_BUFFERS);
  SSL_set_read_ahead(ssl.get(), 1);
  SSL_set_num_tickets(ssl.get(), 0);
  const bool must_resume = Config().require_ssl_reuse && ftp->ctrl_ssl != nullptr;
  if (must_resume && !SameSessionContext(ssl.get(), ftp->ctrl_ssl)) {
    TlsPrintErrors();
    LogWrite(1, "SSL_set_session_id_context() error.");
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  if (int a = TlsAccept(ssl.get()); a != 1) {
    int err = SSL_get_error(ssl.get(), a);
    TlsPrintErrors();
    LogWrite(1, "SSL_accept() error. (ret=%d/err=%d)", a, err);
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  if (must_resume && SSL_session_reused(ssl.get()) != 1) {
    // Whoever opened this connection does not hold the control connection's
    // session: it may not be the client at all.
    LogWrite(2, "The data connection did not resume the TLS session.");
    ReplySend(ftp, ctrl_sock, "425 Can't open data connection. (SSL session reuse required)");
    return -1;
  }
  ftp->data_ssl = ssl.release();
  return 0;
}
