#include "torvad/TlsCommands.h"

#include <cstring>

#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/SessionIo.h"
#include "torvad/Tls.h"

namespace {

constexpr const char* kNeedResource = "431 Need some unavailable resource to process security.";
constexpr const char* kSyntaxError = "501 Syntax error in parameters or arguments.";
constexpr const char* kNoSecurity = "503 Security data exchange has not completed.";

// Whether the configured mechanism takes the client's AUTH argument; the
// test is a case-sensitive substring test ("TLS-C" and "TLS-P" are TLS).
bool MechanismAccepts(const char* arg) {
  switch (Config().auth_mechanism) {
    case AUTH_SSL:
    case AUTH_SSL3: return strstr(arg, "SSL") != nullptr;
    case AUTH_TLS: return strstr(arg, "TLS") != nullptr;
    default: return false;
  }
}

// The argument of PBSZ and PROT, once the control connection is protected.
// False after the refusal that ends the session.
bool SecurityArgument(SOCKET sock, char* arg, FtpTbl* ftp) {
  if (ftp->ctrl_ssl == nullptr) {
    ReplySend(ftp, sock, "%s", kNoSecurity);
    return false;
  }
  if (arg == nullptr) {
    ReplySend(ftp, sock, "%s", kSyntaxError);
    return false;
  }
  CutLineEnd(ftp, arg);
  return true;
}

}  // namespace

int CmdAuth(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: AUTH");
  if (arg == nullptr) {
    ReplySend(ftp, sock, "%s", kSyntaxError);
    return -1;
  }
  if (!TlsEnabled()) {
    ReplySend(ftp, sock, "502 Command not implemented for that parameter.");
    return -1;
  }
  CutLineEnd(ftp, arg);
  if (!MechanismAccepts(arg)) {
    ReplySend(ftp, sock, "500 Command unrecognized.");
    return 0;
  }
  // A repeated AUTH starts over with a new session. Until the handshake has
  // succeeded ftp->ctrl_ssl stays empty, so every reply below goes out plain.
  if (ftp->ctrl_ssl != nullptr) {
    TlsFree(ftp->ctrl_ssl);
    ftp->ctrl_ssl = nullptr;
  }
  UniqueTls ssl(TlsNew());
  if (!ssl) {
    TlsPrintErrors();
    LogWrite(1, "SSL_new() error.");
    ReplySend(ftp, sock, "%s", kNeedResource);
    return -1;
  }
  if (int r = TlsSetFd(ssl.get(), sock); r != 1) {
    TlsPrintErrors();
    LogWrite(1, "SSL_set_fd() error. (ret=%d)", r);
    ReplySend(ftp, sock, "%s", kNeedResource);
    return -1;
  }
  if (Config().ssl_detail_log) TlsSetInfoCallback(ssl.get());
  ReplySend(ftp, sock, "234 %s was recognized.", arg);
  if (int a = TlsAccept(ssl.get()); a != 1) {
    int err = TlsGetError(ssl.get(), a);
    TlsPrintErrors();
    LogWrite(1, "SSL_accept() error. (ret=%d/err=%d)", a, err);
    ReplySend(ftp, sock, "%s", kNeedResource);
    return -1;
  }
  ftp->ctrl_ssl = ssl.release();
  ftp->discard_rest = 1;
  return 0;
}

int CmdPbsz(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: PBSZ");
  if (!SecurityArgument(sock, arg, ftp)) return -1;
  LogWrite(4, "Client size=%s", arg);
  ReplySend(ftp, sock, "200 PBSZ=0");
  return 0;
}

int CmdProt(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: PROT");
  if (!SecurityArgument(sock, arg, ftp)) return -1;
  const char level = arg[0];
  if (level == 'C') {
    ReplySend(ftp, sock, "200 Protection level=Clear");
    ftp->prot_level = 0;
  } else if (level == 'P') {
    ReplySend(ftp, sock, "200 Protection level=Private");
    ftp->prot_level = 3;
  } else {
    const bool printable = level >= 0x20 && level <= 0x7E;
    ReplySend(ftp, sock, "504 Unknown protection level. (%c)", printable ? level : '?');
    ftp->prot_level = 0;
  }
  return 0;
}
