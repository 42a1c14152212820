#include "torvad/Login.h"

#include <cstdio>
#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "torvad/ConfigTbl.h"
#include "torvad/DataConn.h"
#include "torvad/Kanji.h"
#include "torvad/Log.h"
#include "torvad/SessionIo.h"
#include "torvad/Tls.h"
#include "tvusers/tvusers.h"

namespace {

constexpr const char kNotLoggedIn[] = "530 Not logged in.";
constexpr const char kSyntax[] = "501 Syntax error in parameters or arguments.";
constexpr const char kBadSequence[] = "503 Bad sequence of commands.";

bool AnonymousPasswordOk(const char* password) {
  switch (Config().anonymous_pass) {
    case 2: return true;
    case 1: return strcmp(password, "kesto") == 0 || strchr(password, '@') != nullptr;
    default: return strchr(password, '@') != nullptr;
  }
}

// A refused PASS: the access log gets the address and the name that failed
// (for ban tools such as fail2ban), then the reply; the session ends.
int LoginFailed(SOCKET sock, FtpTbl* ftp, const uint8_t* client_addr, const char* reply) {
  static constexpr uint8_t kNone[4] = {0, 0, 0, 0};
  const uint8_t* a = client_addr ? client_addr : kNone;
  char user[sizeof ftp->user_name * 4 + 3];
  LogQuote(user, sizeof user, ftp->user_name);
  AccessLogWrite("Login failed: address=%d.%d.%d.%d user=%s", a[0], a[1], a[2], a[3], user);
  ReplySend(ftp, sock, "%s", reply);
  return -1;
}

// Checks the top directory and ends it with the separator; false after logging.
bool PrepareRootDir(FtpTbl* ftp) {
  DWORD attrs = GetFileAttributes(ftp->root_dir);
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    LogFailed(1, "_access", GetLastError());
    LogWrite(1, "Cannot access: [%s]", ftp->root_dir);
    return false;
  }
  if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    LogWrite(1, "[%s] is not directory.", ftp->root_dir);
    return false;
  }
  size_t len = strlen(ftp->root_dir);
  if (len > 1 && ftp->root_dir[len - 1] != torva::kPathSep) {
    if (len + 1 >= sizeof ftp->root_dir) {
      // No room for the separator: no path below it would fit either.
      LogWrite(1, "Cannot access: [%s]", ftp->root_dir);
      return false;
    }
    ftp->root_dir[len] = torva::kPathSep;
    ftp->root_dir[len + 1] = '\0';
  }
  return true;
}

}  // namespace

void CutLineEnd(const FtpTbl* ftp, char* arg) {
  char* end = SjisStrchr(ftp, arg, '\r');
  if (end == nullptr) end = SjisStrchr(ftp, arg, '\n');
  if (end != nullptr) *end = '\0';
}

int CmdUser(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: USER");
  if (Config().require_tls && ftp->ctrl_ssl == nullptr) {
    // Refused before anything is reset: the session stays as it was.
    ReplySend(ftp, sock, "530 Log in with AUTH TLS first.");
    return 0;
  }
  if (arg == nullptr) {
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  CutLineEnd(ftp, arg);
  DataClose(ftp);
  // A new user starts from a fresh record; the TLS state of the control
  // connection (its session and the data protection level) stays.
  ssl_st* ctrl_ssl = ftp->ctrl_ssl;
  int prot_level = ftp->prot_level;
  int pass_sent = ftp->pass_sent;
  // Control lines already read for the session loop are the client's next
  // commands; they stay too.
  char early[sizeof ftp->ctrl_early];
  const int early_len = ftp->ctrl_early_len;
  memcpy(early, ftp->ctrl_early, static_cast<size_t>(early_len));
  FtpTblClear(ftp);
  ftp->ctrl_ssl = ctrl_ssl;
  ftp->prot_level = prot_level;
  ftp->pass_sent = pass_sent;
  memcpy(ftp->ctrl_early, early, static_cast<size_t>(early_len));
  ftp->ctrl_early_len = early_len;
  ftp->utf8_mode = Config().utf8_mode;
  ftp->lang = Config().default_lang;
  torva::CopyTruncated(ftp->user_name, arg);
  LogWrite(4, "USER: [%s]", ftp->user_name);
  ftp->user_given = 1;
  ftp->pass_given = 0;
  ftp->logged_in = 0;
  ReplySend(ftp, sock, "331 User name okay, need password.");
  return 0;
}

int CmdPass(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr) {
  LogWrite(4, "Command: PASS");
  if (ftp->user_given == 0 || ftp->pass_given == 1) {
    ReplySend(ftp, sock, kBadSequence);
    return -1;
  }
  if (arg == nullptr) {
    ReplySend(ftp, sock, kSyntax);
    return -1;
  }
  CutLineEnd(ftp, arg);
  torva::CopyTruncated(ftp->password, arg);

  if (strcmp(ftp->user_name, "anonymous") == 0 && Config().anonymous) {
    LogWrite(4, "PASS(anonymous): (%s)", ftp->password);
    ftp->pass_given = 1;
    ftp->pass_sent = 1;
    ftp->anonymous = 1;
    if (Config().anonymous_path == nullptr) {
      LogWrite(3, "Anonymous path was not defined.");
      return LoginFailed(sock, ftp, client_addr, "530 Not logged in. (Directory was not defined.)");
    }
    torva::CopyTruncated(ftp->root_dir, Config().anonymous_path);
    if (!AnonymousPasswordOk(ftp->password)) {
      LogWrite(3, "Bad anonymous passwd.");
      return LoginFailed(sock, ftp, client_addr, "530 Not logged in. (Bad anonymous password.)");
    }
  } else {
    LogWrite(4, "PASS: (hidden)");
    ftp->pass_given = 1;
    ftp->pass_sent = 1;
    int32_t code = 0;
    if (tvusers_session(&code, ftp->user_name, ftp->password, ftp->root_dir) != 0) {
      LogWrite(3, "Failed to login. (%d)", code);
      return LoginFailed(sock, ftp, client_addr, kNotLoggedIn);
    }
  }
  if (!PrepareRootDir(ftp)) return LoginFailed(sock, ftp, client_addr, kNotLoggedIn);
  torva::CopyTruncated(ftp->cur_dir, "\\");
  ftp->logged_in = 1;
  LogWrite(3, "Success to login.");
  if (Config().access_log2) {
    static constexpr uint8_t kNone[4] = {0, 0, 0, 0};
    const uint8_t* a = client_addr ? client_addr : kNone;
    char from[64];
    SockAddress peer;
    if (SockGetPeerAddress(sock, &peer) == 0 && peer.family == WS_AF_INET6)
      SockAddressText(peer, from, sizeof from);
    else
      snprintf(from, sizeof from, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    if (ftp->anonymous) {
      AccessLogWrite("Anonymous login was success from %s (ID=%X / PASS=%s)", from,
                     static_cast<unsigned>(GetCurrentThreadId()), ftp->password);
    } else {
      AccessLogWrite("Login was success from %s (ID=%X / USER=%s)", from,
                     static_cast<unsigned>(GetCurrentThreadId()), ftp->user_name);
    }
  }
  ReplySend(ftp, sock, "230 User logged in, proceed.");
  return 0;
}

int CmdRein(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: REIN");
  DataClose(ftp);
  if (ftp->ctrl_ssl != nullptr) TlsFree(ftp->ctrl_ssl);
  // Everything goes, the control connection's protection included; UTF-8
  // mode and language stay off and "ja" until the next USER. Whether a
  // password was tried stays: it belongs to the session, not to the log-in.
  int pass_sent = ftp->pass_sent;
  FtpTblClear(ftp);
  ftp->pass_sent = pass_sent;
  ReplySend(ftp, sock, "220 Service ready for new user.");
  return 0;
}

int CmdQuit(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: QUIT");
  ReplySend(ftp, sock, ftp->logged_in ? "221 Service closing control connection." : kBadSequence);
  if (ftp->ctrl_ssl != nullptr) TlsCloseNotify(ftp->ctrl_ssl);
  return -1;
}
