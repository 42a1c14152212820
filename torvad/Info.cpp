#include "torvad/Info.h"

#include <cstring>

#include "common/strutil.h"

#include "torvad/CommandDispatch.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/MachineList.h"
#include "torvad/SessionIo.h"

namespace {

bool On(CommandId id) { return Config().cmd_enable[id] != 0; }

// HELP's mark after a command name: blank when switched on, '*' when off.
char Mark(CommandId id) { return On(id) ? ' ' : '*'; }

// The security features FEAT may announce, in their order.
constexpr CommandId kSecurityFeatures[] = {CMD_AUTH, CMD_ADAT, CMD_PROT, CMD_PBSZ,
                                           CMD_CCC,  CMD_MIC,  CMD_CONF, CMD_ENC};
// The commands beyond the classic set; each has its line in FEAT and HELP.
constexpr CommandId kExtensionFeatures[] = {CMD_REST, CMD_MDTM, CMD_MFMT, CMD_MLSD,
                                            CMD_MLST, CMD_EPSV, CMD_EPRT};

bool AnyExtensionOn() {
  for (CommandId id : kExtensionFeatures)
    if (On(id)) return true;
  return false;
}

}  // namespace

int CmdFeat(SOCKET sock, char*, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: FEAT");
  const bool tls = Config().auth_mechanism != AUTH_NONE;
  bool any_security = false;
  for (CommandId id : kSecurityFeatures) any_security = any_security || On(id);
  const bool any_extension = AnyExtensionOn();
  // feat-utf8: clients that decide on FEAT whether to send UTF-8 see it also
  // on a server without TLS.
  const bool utf8_alone = Config().feat_utf8 && ftp->utf8_mode;
  if (!On(CMD_SIZE) && (!tls || !any_security) && !any_extension && !utf8_alone) {
    ReplySend(ftp, sock, "211 No features.");
    return 0;
  }
  ReplySend(ftp, sock, "211-Extensions supported:");
  if (On(CMD_SIZE)) ReplySend(ftp, sock, " SIZE");
  if (On(CMD_MDTM)) ReplySend(ftp, sock, " MDTM");
  if (On(CMD_MFMT)) ReplySend(ftp, sock, " MFMT");
  if (On(CMD_REST)) ReplySend(ftp, sock, " REST STREAM");
  if (On(CMD_MLST) || On(CMD_MLSD)) {
    char facts[64];
    MlstFeatFacts(ftp->mlst_facts_off, facts, sizeof facts);
    ReplySend(ftp, sock, " MLST %s", facts);
  }
  if (On(CMD_EPSV)) ReplySend(ftp, sock, " EPSV");
  if (On(CMD_EPRT)) ReplySend(ftp, sock, " EPRT");
  // UTF8 and LANG go with the security features: a server without TLS never
  // announces them, unless feat-utf8 says so.
  if (tls) {
    for (CommandId id : kSecurityFeatures)
      if (On(id)) ReplySend(ftp, sock, " %s", CommandName(id));
  }
  if ((tls || Config().feat_utf8) && ftp->utf8_mode) {
    ReplySend(ftp, sock, " UTF8");
    if (On(CMD_LANG))
      ReplySend(ftp, sock, "%s", ftp->lang == LANG_EN ? " LANG EN*;JA" : " LANG EN;JA*");
  }
  ReplySend(ftp, sock, "211 END");
  return 0;
}

int CmdOpts(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t*) {
  LogWrite(4, "Command: OPTS");
  if (arg != nullptr) {
    for (char* p = arg; *p; ++p) *p = torva::ToUpperAscii(*p);
    if (strncmp(arg, "MLST", 4) == 0 && (arg[4] == ' ' || arg[4] == '\r') &&
        (On(CMD_MLST) || On(CMD_MLSD))) {
      // The facts that MLST and MLSD show from now on.
      char list[1024];
      torva::CopyTruncated(list, arg + 4);
      CutLineEnd(ftp, list);
      char shown[64];
      ftp->mlst_facts_off = MlstFactsFromOpts(list, shown, sizeof shown);
      ReplySend(ftp, sock, "200 MLST OPTS %s", shown);
      return 0;
    }
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
    tag[n] = torva::ToUpperAscii(arg[n]);
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
  // The commands beyond the classic set appear once any of them is on, so a
  // server without them answers as it always has.
  if (AnyExtensionOn()) {
    ReplySend(ftp, sock, " REST%c MDTM%c MFMT%c MLSD%c MLST%c", Mark(CMD_REST), Mark(CMD_MDTM),
              Mark(CMD_MFMT), Mark(CMD_MLSD), Mark(CMD_MLST));
    ReplySend(ftp, sock, " EPSV%c EPRT%c", Mark(CMD_EPSV), Mark(CMD_EPRT));
  }
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
