#include "torvad/Info.h"

#include <cstring>

#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/SessionIo.h"

namespace {

bool On(CommandId id) { return Config().cmd_enable[id] != 0; }

// HELP's mark after a command name: blank when switched on, '*' when off.
char Mark(CommandId id) { return On(id) ? ' ' : '*'; }

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The security features FEAT may announce, in their order.
constexpr CommandId kSecurityFeatures[] = {CMD_AUTH, CMD_ADAT, CMD_PROT, CMD_PBSZ,
                                           CMD_CCC,  CMD_MIC,  CMD_CONF, CMD_ENC};

}  // namespace

int CmdFeat(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: FEAT");
  const bool tls = Config().auth_mechanism != AUTH_NONE;
  bool any_security = false;
  for (CommandId id : kSecurityFeatures) any_security = any_security || On(id);
  if (!On(CMD_SIZE) && (!tls || !any_security)) {
    ReplySend(ftp, sock, "211 No features.");
    return 0;
  }
  ReplySend(ftp, sock, "211-Extensions supported:");
  if (On(CMD_SIZE)) ReplySend(ftp, sock, " SIZE");
  // UTF8 and LANG go with the security features: a server without TLS never
  // announces them.
  if (tls) {
    for (CommandId id : kSecurityFeatures)
      if (On(id)) ReplySend(ftp, sock, " %s", CommandName(id));
    if (ftp->utf8_mode) {
      ReplySend(ftp, sock, " UTF8");
      if (On(CMD_LANG))
        ReplySend(ftp, sock, "%s", ftp->lang == LANG_EN ? " LANG EN*;JA" : " LANG EN;JA*");
    }
  }
  ReplySend(ftp, sock, "211 END");
  return 0;
}

int CmdOpts(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: OPTS");
  if (arg != nullptr) {
    for (char* p = arg; *p; ++p) *p = Upper(*p);
    if (strncmp(arg, "UTF8", 4) == 0 && Config().opts_impl_utf8) {
      const char* p = arg + 4;
      while (*p == ' ') ++p;
      if (strncmp(p, "ON", 2) == 0) {
        ftp->utf8_mode = 1;
        ReplySend(ftp, sock, "200 utf8-mode = on.");
        LogWrite(4, "OPTS: utf8-mode is ON in this session.");
        return 0;
      }
      if (strncmp(p, "OFF", 3) == 0) {
        ftp->utf8_mode = 0;
        ReplySend(ftp, sock, "200 utf8-mode = off.");
        LogWrite(4, "OPTS: utf8-mode is OFF in this session.");
        return 0;
      }
    }
  }
  ReplySend(ftp, sock, "451 Options bad.");
  return 0;
}

int CmdLang(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: LANG");
  if (!ftp->utf8_mode) {
    ReplySend(ftp, sock, "500 Server is not utf8 mode.");
    return 0;
  }
  if (arg == nullptr) {
    ReplySend(ftp, sock, "%s", ftp->lang == LANG_EN ? "200 LANG is \"EN\"" : "200 LANG is \"JA\"");
    return 0;
  }
  // Upper case, at most four characters, up to a CR.
  char tag[5];
  int n = 0;
  while (n < 4 && arg[n] != '\0' && arg[n] != '\r') {
    tag[n] = Upper(arg[n]);
    ++n;
  }
  tag[n] = '\0';
  // The reply still goes out in the old language's conversion.
  if (strncmp(tag, "JA", 2) == 0) {
    LogWrite(4, "Language changed: ja");
    ReplySend(ftp, sock, "200 LANG okay.");
    ftp->lang = LANG_JA;
  } else if (strncmp(tag, "EN", 2) == 0) {
    LogWrite(4, "Language changed: en");
    ReplySend(ftp, sock, "200 LANG okay.");
    ftp->lang = LANG_EN;
  } else {
    LogWrite(2, "Unknown language: %s", tag);
    ReplySend(ftp, sock, "504 Unsupported parameter.");
  }
  return 0;
}

int CmdHelp(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: HELP");
  if (!RequireLogin(ftp, sock)) return -1;
  ReplySend(ftp, sock, "214-The following  commands are recognized (*:unimplemented)");
  ReplySend(ftp, sock, " USER%c PASS%c ACCT%c CWD%c  CDUP%c", Mark(CMD_USER), Mark(CMD_PASS),
            Mark(CMD_ACCT), Mark(CMD_CWD), Mark(CMD_CDUP));
  ReplySend(ftp, sock, " SMNT%c REIN%c QUIT%c AUTH%c ADAT%c", Mark(CMD_SMNT), Mark(CMD_REIN),
            Mark(CMD_QUIT), Mark(CMD_AUTH), Mark(CMD_ADAT));
  ReplySend(ftp, sock, " PROT%c PBSZ%c CCC%c  MIC%c  CONF%c", Mark(CMD_PROT), Mark(CMD_PBSZ),
            Mark(CMD_CCC), Mark(CMD_MIC), Mark(CMD_CONF));
  ReplySend(ftp, sock, " ENC%c  PORT%c PASV%c TYPE%c STRU%c", Mark(CMD_ENC), Mark(CMD_PORT),
            Mark(CMD_PASV), Mark(CMD_TYPE), Mark(CMD_STRU));
  ReplySend(ftp, sock, " MODE%c RETR%c STOR%c STOU%c APPE%c", Mark(CMD_MODE), Mark(CMD_RETR),
            Mark(CMD_STOR), Mark(CMD_STOU), Mark(CMD_APPE));
  ReplySend(ftp, sock, " ALLO%c RNFR%c RNTO%c ABOR%c DELE%c", Mark(CMD_ALLO), Mark(CMD_RNFR),
            Mark(CMD_RNTO), Mark(CMD_ABOR), Mark(CMD_DELE));
  ReplySend(ftp, sock, " RMD%c  MKD%c  PWD%c  LIST%c NLST%c", Mark(CMD_RMD), Mark(CMD_MKD),
            Mark(CMD_PWD), Mark(CMD_LIST), Mark(CMD_NLST));
  ReplySend(ftp, sock, " SITE%c SYST%c STAT%c HELP%c NOOP%c", Mark(CMD_SITE), Mark(CMD_SYST),
            Mark(CMD_STAT), Mark(CMD_HELP), Mark(CMD_NOOP));
  ReplySend(ftp, sock, " SIZE%c FEAT%c OPTS%c LANG%c", Mark(CMD_SIZE), Mark(CMD_FEAT),
            Mark(CMD_OPTS), Mark(CMD_LANG));
  ReplySend(ftp, sock, "214 End of HELP.");
  return 0;
}

int CmdStat(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: STAT");
  if (!RequireLogin(ftp, sock)) return -1;
  ReplySend(ftp, sock, "221-FTP Service status:");
  ReplySend(ftp, sock, " USER: %s", ftp->user_name);
  ReplySend(ftp, sock, " TYPE: %s", ftp->binary_type ? "binary" : "ascii");
  ReplySend(ftp, sock, " STRU: file");
  ReplySend(ftp, sock, " MODE: stream");
  ReplySend(ftp, sock, " UTF8: %s", ftp->utf8_mode ? "on" : "off");
  ReplySend(ftp, sock, "221 End of status.");
  return 0;
}

int CmdSyst(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: SYST");
  ReplySend(ftp, sock, "215 Windows_NT");
  return 0;
}

int CmdNoop(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: NOOP");
  ReplySend(ftp, sock, "200 Command okay.");
  return 0;
}
