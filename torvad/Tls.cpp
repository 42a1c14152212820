#include "torvad/Tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/registry.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/SessionIo.h"

namespace {

// Made once at start-up, only read afterwards.
SSL_CTX* g_ctx = nullptr;

// Reads a string value of the installation key into a 260-byte buffer.
LONG QueryString(HKEY key, const char* name, char (&out)[261]) {
  DWORD size = sizeof out - 1;
  LONG rc = RegQueryValueEx(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(out), &size);
  if (rc == 0) out[size] = '\0';
  return rc;
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
  static constexpr struct { int bit; const char* text; } kBits[] = {
      {0x01, "- SSL_CB_LOOP"},           {0x02, "- SSL_CB_EXIT"},
      {0x04, "- SSL_CB_READ"},           {0x08, "- SSL_CB_WRITE"},
      {0x4000, "- SSL_CB_ALERT"},        {0x10, "- SSL_CB_HANDSHAKE_START"},
      {0x20, "- SSL_CB_HANDSHAKE_DONE"}, {0x1000, "- SSL_ST_CONNECT"}};
  for (const auto& b : kBits)
    if (where & b.bit) LogWrite(4, "%s", b.text);
  if (ret <= 0) {
    if (ssl != nullptr) LogWrite(4, "- status=%s", SSL_state_string(ssl));
    SslStackDump();
  }
}

}  // namespace

int TlsStartup() {
  LogWrite(3, "OpenSSL library is initializing.");
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

  const int mech = g_config->auth_mechanism;
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
  // "SSL" allows every version the library permits; "TLS" exactly TLS 1.2.
  bool versions_ok = mech == AUTH_TLS
                         ? SSL_CTX_set_min_proto_version(g_ctx, TLS1_2_VERSION) == 1 &&
                               SSL_CTX_set_max_proto_version(g_ctx, TLS1_2_VERSION) == 1
                         : SSL_CTX_set_min_proto_version(g_ctx, 0) == 1 &&
                               SSL_CTX_set_max_proto_version(g_ctx, 0) == 1;
  if (!versions_ok) {
    return Fail(mech == AUTH_TLS ? "Failed to loading the TLS protocol methods."
                                 : "Failed to loading the SSL protocol methods.",
                true);
  }
  // Data connections resume the control connection's session for clients
  // that demand it; that needs an id context and the server-side cache.
  static const unsigned char kSessionContext[] = "torvad";
  SSL_CTX_set_session_id_context(g_ctx, kSessionContext, sizeof kSessionContext - 1);
  SSL_CTX_set_session_cache_mode(g_ctx, SSL_SESS_CACHE_SERVER);
  SSL_CTX_set_mode(g_ctx, SSL_MODE_RELEASE_BUFFERS);

  HKEY key;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, torva::kSettingsKey, 0, KEY_READ, &key);
  if (rc != 0) {
    LogFailed(1, "RegOpenKeyEx", static_cast<DWORD>(rc));
    return Fail(nullptr, false);
  }
  char dir[261];
  char cert[320];
  char pkey[320];
  if (QueryString(key, torva::kValueConfigDir, dir) == 0) {
    torva::FormatInto(cert, "%s/csr.pem", dir);
    torva::FormatInto(pkey, "%s/private.pem", dir);
  } else if ((rc = QueryString(key, torva::kValuePath, dir)) == 0) {
    torva::FormatInto(cert, "%s/%s/csr.pem", dir, torva::kDirConf);
    torva::FormatInto(pkey, "%s/%s/private.pem", dir, torva::kDirConf);
  } else {
    RegCloseKey(key);
    LogFailed(1, "RegQueryValueEx", static_cast<DWORD>(rc));
    return Fail(nullptr, false);
  }
  RegCloseKey(key);

  LogWrite(3, "Loading csr.pem");
  if (SSL_CTX_use_certificate_chain_file(g_ctx, cert) != 1)
    return Fail("SSL_CTX_use_certificate_file() error.", true);
  LogWrite(3, "Loading private.pem");
  if (SSL_CTX_use_PrivateKey_file(g_ctx, pkey, SSL_FILETYPE_PEM) != 1)
    return Fail("SSL_CTXuse_PrivateKey_file() error.", true);
  LogWrite(3, "Checking private.pem");
  if (SSL_CTX_check_private_key(g_ctx) != 1)
    return Fail("SSL_CTX_check_private_key() error.", true);
  return 0;
}

bool TlsEnabled() { return g_ctx != nullptr; }

void TlsPrintErrors() {
  LogLock();
  ERR_print_errors_fp(stdout);
  fflush(stdout);
  LogUnlock();
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

ssl_st* TlsNew() { return g_ctx ? SSL_new(g_ctx) : nullptr; }
int TlsSetFd(ssl_st* ssl, SOCKET sock) { return SSL_set_fd(ssl, sock); }
int TlsAccept(ssl_st* ssl) { return SSL_accept(ssl); }
int TlsGetError(ssl_st* ssl, int ret) { return SSL_get_error(ssl, ret); }
int TlsRead(ssl_st* ssl, void* buffer, int length) { return SSL_read(ssl, buffer, length); }
int TlsWrite(ssl_st* ssl, const void* data, int length) { return SSL_write(ssl, data, length); }
int TlsPending(ssl_st* ssl) { return SSL_pending(ssl); }

void TlsCloseNotify(ssl_st* ssl) {
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
  SSL* ssl = SSL_new(g_ctx);
  if (ssl == nullptr) {
    TlsPrintErrors();
    LogWrite(1, "SSL_new() error.");
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  if (int r = SSL_set_fd(ssl, ftp->data_sock); r != 1) {
    TlsPrintErrors();
    LogWrite(1, "SSL_set_fd() error. (ret=%d)", r);
    SSL_free(ssl);
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  if (int a = SSL_accept(ssl); a != 1) {
    int err = SSL_get_error(ssl, a);
    TlsPrintErrors();
    LogWrite(1, "SSL_accept() error. (ret=%d/err=%d)", a, err);
    SSL_free(ssl);
    ReplySend(ftp, ctrl_sock, "%s", kReply);
    return -1;
  }
  ftp->data_ssl = ssl;
  return 0;
}
