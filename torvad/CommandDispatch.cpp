#include "torvad/CommandDispatch.h"

#include <cstdlib>
#include <cstring>

#include "torvad/Abort.h"
#include "torvad/ConfigTbl.h"
#include "torvad/DataConn.h"
#include "torvad/FileTimes.h"
#include "torvad/Info.h"
#include "torvad/Kanji.h"
#include "torvad/Listing.h"
#include "torvad/Log.h"
#include "torvad/Login.h"
#include "torvad/MachineList.h"
#include "torvad/Paths.h"
#include "torvad/SessionIo.h"
#include "torvad/TlsCommands.h"
#include "torvad/Transfer.h"

namespace {

constexpr int kMaxRequest = 1024;

// The table is searched in this order; the first entry whose name occurs in
// the command word and whose command is switched on is called. A command
// without its handler yet answers as not implemented.
struct CommandEntry {
  const char* name;
  CommandId id;
  CommandHandler handler;
};

constexpr CommandEntry kCommands[] = {
    {"USER", CMD_USER, CmdUser},
    {"PASS", CMD_PASS, CmdPass},
    {"ACCT", CMD_ACCT, nullptr},
    {"CWD", CMD_CWD, CmdCwd},
    {"CDUP", CMD_CDUP, CmdCdup},
    {"REIN", CMD_REIN, CmdRein},
    {"QUIT", CMD_QUIT, CmdQuit},
    {"AUTH", CMD_AUTH, CmdAuth},
    {"PBSZ", CMD_PBSZ, CmdPbsz},
    {"PROT", CMD_PROT, CmdProt},
    {"PORT", CMD_PORT, CmdPort},
    {"PASV", CMD_PASV, CmdPasv},
    {"TYPE", CMD_TYPE, CmdType},
    {"RETR", CMD_RETR, CmdRetr},
    {"STOR", CMD_STOR, CmdStor},
    {"STOU", CMD_STOU, CmdStou},
    {"APPE", CMD_APPE, CmdAppe},
    {"RNFR", CMD_RNFR, CmdRnfr},
    {"RNTO", CMD_RNTO, CmdRnto},
    {"DELE", CMD_DELE, CmdDele},
    {"RMD", CMD_RMD, CmdRmd},
    {"MKD", CMD_MKD, CmdMkd},
    {"PWD", CMD_PWD, CmdPwd},
    {"NLST", CMD_NLST, CmdNlst},
    {"LIST", CMD_LIST, CmdList},
    {"SYST", CMD_SYST, CmdSyst},
    {"NOOP", CMD_NOOP, CmdNoop},
    {"SIZE", CMD_SIZE, CmdSize},
    {"FEAT", CMD_FEAT, CmdFeat},
    {"OPTS", CMD_OPTS, CmdOpts},
    {"LANG", CMD_LANG, CmdLang},
    {"HELP", CMD_HELP, CmdHelp},
    {"STAT", CMD_STAT, CmdStat},
    // Off until enable-command names them; no earlier name occurs in theirs.
    {"REST", CMD_REST, CmdRest},
    {"MDTM", CMD_MDTM, CmdMdtm},
    {"MFMT", CMD_MFMT, CmdMfmt},
    {"MLSD", CMD_MLSD, CmdMlsd},
    {"MLST", CMD_MLST, CmdMlst},
    {"EPSV", CMD_EPSV, CmdEpsv},
    {"EPRT", CMD_EPRT, CmdEprt},
    {"ABOR", CMD_ABOR, CmdAbor},
    {"ALLO", CMD_ALLO, CmdAllo},
    {"MODE", CMD_MODE, CmdMode},
    {"STRU", CMD_STRU, CmdStru},
};

const CommandEntry* FindCommand(const char* word) {
  for (const auto& e : kCommands)
    if (strstr(word, e.name) != nullptr && Config().cmd_enable[e.id]) return &e;
  return nullptr;
}

int NotImplemented(SOCKET sock, FtpTbl* ftp) {
  ReplySend(ftp, sock, "502 Command not implemented.");
  return Config().unknown_close ? -1 : 0;
}

bool LineHasBreak(const char* line, size_t length) {
  if (memchr(line, '\0', length) != nullptr) return true;
  size_t body =
      length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n' ? length - 2 : length;
  return memchr(line, '\r', body) != nullptr || memchr(line, '\n', body) != nullptr;
}

bool Printable(unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == '\r' || c == '\n'; }

// Handles one line (CR LF included, NUL-terminated in a buffer of its own).
int DispatchLine(SOCKET sock, char* line, FtpTbl* ftp, const uint8_t* client_addr) {
  char* p = line;
  while (*p != '\0' && *p != ' ' && !(p[0] == '\r' && p[1] == '\n')) ++p;
  char* arg = nullptr;
  if (*p == ' ') {
    *p++ = '\0';
    while (*p == ' ') ++p;
    arg = p;
  } else {
    *p = '\0';
  }
  for (char* w = line; *w; ++w)
    if (*w >= 'a' && *w <= 'z') *w = static_cast<char>(*w - 'a' + 'A');

  char* converted = nullptr;
  if (arg != nullptr && ftp->utf8_mode == 1 && ftp->lang == LANG_JA) {
    converted = Utf8ToSjis(arg);
    if (converted == nullptr) {
      LogWrite(1, "%s command was failed.", line);
      ReplySend(ftp, sock, "500 The character-code that cannot be treated is included.");
      return -1;
    }
    arg = converted;
  }

  int result;
  const CommandEntry* e = FindCommand(line);
  // A REST offset serves the transfer command right after it; any other
  // command drops it.
  const int id = e != nullptr ? e->id : CMD_COUNT;
  if (id != CMD_REST && id != CMD_RETR && id != CMD_STOR) ftp->rest_offset = 0;
  if (e == nullptr) {
    LogWrite(4, "Command: Unknown");
    result = NotImplemented(sock, ftp);
  } else if (e->handler == nullptr) {
    LogWrite(4, "Command: %s", e->name);
    result = NotImplemented(sock, ftp);
  } else {
    result = e->handler(sock, arg, ftp, client_addr);
  }
  free(converted);
  return result;
}

}  // namespace

bool RequireLogin(FtpTbl* ftp, SOCKET sock) {
  if (ftp->logged_in) return true;
  ReplySend(ftp, sock, "530 Not logged in.");
  return false;
}

bool RequireLoginAndArgument(FtpTbl* ftp, SOCKET sock, const char* arg) {
  if (!RequireLogin(ftp, sock)) return false;
  if (arg != nullptr) return true;
  ReplySend(ftp, sock, "501 Syntax error in parameters or arguments.");
  return false;
}

int CommandDispatch(SOCKET sock, char* buffer, int length, FtpTbl* ftp,
                    const uint8_t* client_addr) {
  if (buffer == nullptr) {
    ReplySend(ftp, sock, "500 Syntax error, command unrecognized.");
    return -1;
  }
  if (length > kMaxRequest) {
    ReplySend(ftp, sock, "500 The command line too long.");
    return -1;
  }
  if (ftp->utf8_mode != 1 && Config().code_no_check == 0) {
    for (int i = 0; i < length; ++i) {
      if (!Printable(static_cast<unsigned char>(buffer[i]))) {
        ReplySend(ftp, sock, "500 The character-code that cannot be treated is included.");
        return -1;
      }
    }
  }
  int pos = 0;
  while (pos < length) {
    // A line runs up to and including its CR LF; the request ends with one.
    int end = pos;
    while (end + 1 < length && !(buffer[end] == '\r' && buffer[end + 1] == '\n')) ++end;
    end = end + 1 < length ? end + 2 : length;
    char line[kMaxRequest + 1];
    memcpy(line, buffer + pos, static_cast<size_t>(end - pos));
    line[end - pos] = '\0';
    // Names must know whether the line held a line end of its own or a NUL
    // before its CR LF: the handlers cut arguments at the first of those and
    // see a string that a NUL ends, so what they see is not all that was sent.
    ftp->line_has_break = LineHasBreak(line, static_cast<size_t>(end - pos));
    pos = end;
    int result = DispatchLine(sock, line, ftp, client_addr);
    if (result != 0) return result;
    if (ftp->discard_rest) {
      // Whatever followed AUTH in the same request arrived before the
      // handshake and must not run as if it had been protected.
      ftp->discard_rest = 0;
      return 0;
    }
  }
  return 0;
}
