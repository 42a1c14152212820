#include "torvad/ConfigLoad.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/strutil.h"
#include "platform/fs.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "platform/unique_handle.h"
#include "torvad/ConfigTbl.h"
#include "torvad/FailureList.h"
#include "torvad/Log.h"
#include "torvad/PasvPorts.h"
#include "torvad/TrimString.h"

ConfigTbl* g_config = nullptr;

namespace {

constexpr const char* kCommandNames[CMD_COUNT] = {
    "USER", "PASS", "ACCT", "CWD",  "CDUP", "SMNT", "REIN", "QUIT", "AUTH", "ADAT", "PROT",
    "PBSZ", "CCC",  "MIC",  "CONF", "ENC",  "PORT", "PASV", "TYPE", "STRU", "MODE", "RETR",
    "STOR", "STOU", "APPE", "ALLO", "RNFR", "RNTO", "ABOR", "DELE", "RMD",  "MKD",  "PWD",
    "LIST", "NLST", "SITE", "SYST", "STAT", "HELP", "NOOP", "SIZE", "FEAT", "OPTS", "LANG",
    "REST", "MDTM", "MFMT", "MLSD", "MLST", "EPSV", "EPRT"};

// Commands that "enable-command" may switch on: the extensions and the
// classic commands that start off but have a handler.
constexpr CommandId kEnableable[] = {CMD_REST, CMD_MDTM, CMD_MFMT, CMD_MLSD, CMD_MLST, CMD_EPSV,
                                     CMD_EPRT, CMD_ABOR, CMD_ALLO, CMD_MODE, CMD_STRU};

// Commands that start switched off; nothing in the file can switch one on.
constexpr CommandId kOffAtStart[] = {CMD_ACCT, CMD_SMNT, CMD_ADAT, CMD_CCC,  CMD_MIC,  CMD_CONF,
                                     CMD_ENC,  CMD_STRU, CMD_MODE, CMD_ALLO, CMD_ABOR, CMD_SITE};

// Order of the "ignore-command" lines of the settings listing.
constexpr CommandId kShowOrder[kClassicCommandCount] = {
    CMD_USER, CMD_PASS, CMD_ACCT, CMD_CWD,  CMD_CDUP, CMD_SMNT, CMD_REIN, CMD_QUIT, CMD_AUTH,
    CMD_ADAT, CMD_PROT, CMD_PBSZ, CMD_CCC,  CMD_MIC,  CMD_CONF, CMD_ENC,  CMD_RETR, CMD_STOR,
    CMD_STOU, CMD_APPE, CMD_ALLO, CMD_RNFR, CMD_RNTO, CMD_ABOR, CMD_DELE, CMD_RMD,  CMD_MKD,
    CMD_PWD,  CMD_LIST, CMD_NLST, CMD_SITE, CMD_SYST, CMD_STAT, CMD_HELP, CMD_NOOP, CMD_SIZE,
    CMD_PORT, CMD_PASV, CMD_TYPE, CMD_STRU, CMD_MODE, CMD_FEAT, CMD_OPTS, CMD_LANG};

unsigned FromNet(uint16_t v) { return static_cast<unsigned>(((v & 0xFF) << 8) | (v >> 8)); }

// ---- key handlers ----

// Result of a key handler: 0 goes on, -1 stops start-up.
using KeyHandler = int (*)(const char* key, char* value);

enum class Kind { kNumber, kFlag, kIgnored, kCustom };

struct KeyDef {
  const char* key;
  Kind kind;
  int ConfigTbl::*field;
  KeyHandler handler;
};

int ReadHostName(char (&dst)[256]) {
  char name[256];
  if (SockGetHostName(name, sizeof name) != 0) {
    LogWrite(-1, "Can not start! (hostname too long...)");
    return -1;
  }
  torva::CopyTruncated(dst, name);
  return 0;
}

int OnIgnoreCommand(const char*, char* value) {
  for (int i = 0; i < CMD_COUNT; ++i) {
    if (strcmp(value, kCommandNames[i]) == 0) {
      g_config->cmd_enable[i] = 0;
      g_config->cmd_ignored[i] = 1;
      return 0;
    }
  }
  LogWrite(2, "Unknown command in ignore-command. (%s)", value);
  return 0;
}

// Switches a command on unless "ignore-command" named it, before or after.
int OnEnableCommand(const char*, char* value) {
  for (CommandId id : kEnableable) {
    if (strcmp(value, kCommandNames[id]) == 0) {
      if (!g_config->cmd_ignored[id]) g_config->cmd_enable[id] = 1;
      return 0;
    }
  }
  LogWrite(2, "Unknown command in enable-command. (%s)", value);
  return 0;
}

int OnBufferSize(const char*, char* value) {
  g_config->buffer_size = torva::AtoiLike(value);
  if (g_config->buffer_size < 4096) g_config->buffer_size = 4096;
  return 0;
}

int OnBindHost(const char*, char* value) {
  if (strcmp(value, "*") == 0) return ReadHostName(g_config->bind_host);
  torva::CopyTruncated(g_config->bind_host, value);
  return 0;
}

int OnBindPort(const char*, char* value) {
  torva::CopyTruncated(g_config->bind_port, value);
  return 0;
}

int OnProtocol(const char*, char* value) {
  torva::CopyTruncated(g_config->protocol_name, value);
  return 0;
}

int OnSocketDomain(const char* key, char* value) {
  static constexpr struct {
    const char* name;
    int number;
  } kDomains[] = {{"AF_UNIX", WS_AF_UNIX},
                  {"AF_INET", WS_AF_INET},
                  {"AF_INET6", WS_AF_INET6},
                  {"AF_IPX", WS_AF_IPX}};
  for (const auto& d : kDomains) {
    if (strcmp(value, d.name) == 0) {
      g_config->socket_domain = d.number;
      return 0;
    }
  }
  LogWrite(-1, "%s=%s is not support.", key, value);
  return -1;
}

int OnSocketType(const char* key, char* value) {
  static constexpr const char* kTypes[] = {"SOCK_STREAM", "SOCK_DGRAM", "SOCK_RAW", "SOCK_RDM",
                                           "SOCK_SEQPACKET"};
  for (int i = 0; i < 5; ++i) {
    if (strcmp(value, kTypes[i]) == 0) {
      g_config->socket_type = i + 1;
      return 0;
    }
  }
  LogWrite(-1, "%s=%s is not support.", key, value);
  return -1;
}

int OnUnknownCommand(const char*, char* value) {
  g_config->unknown_close = strcmp(value, "close") == 0 ? 1 : 0;
  return 0;
}

int OnReadyMessage(const char*, char* value) {
  char* copy = strdup(value);
  if (copy == nullptr) {
    LogWrite(-1, "No memory!");
    return -1;
  }
  free(g_config->ready_message);
  g_config->ready_message = copy;
  return 0;
}

int OnDirSeparator(const char*, char* value) {
  g_config->dir_separator = value[0];
  return 0;
}

int OnPasvPort(const char*, char* value) {
  if (PasvPortAdd(value) != 0) {
    LogWrite(1, "Cannot added the pasv-port.");
    return -1;
  }
  return 0;
}

int OnAuthMechanism(const char* key, char* value) {
  if (strcmp(value, "SSL") == 0)
    g_config->auth_mechanism = AUTH_SSL;
  else if (strcmp(value, "TLS") == 0)
    g_config->auth_mechanism = AUTH_TLS;
  else if (strcmp(value, "SSL3") == 0)
    g_config->auth_mechanism = AUTH_SSL3;
  else
    LogWrite(2, "%s=%s is unknown.", key, value);
  return 0;
}

int OnDisconnect(const char*, char* value) {
  if (discon_add(value, 0) != 0) {
    LogWrite(-1, "Cannot started.");
    return -1;
  }
  return 0;
}

int OnAnonymous(const char*, char* value) {
  g_config->anonymous = strcmp(value, "enable") == 0 ? 1 : 0;
  return 0;
}

int OnAnonymousWrite(const char*, char* value) {
  g_config->anonymous_write = strcmp(value, "enable") == 0 ? 1 : 0;
  return 0;
}

int OnAnonymousPath(const char*, char* value) {
  char* copy = strdup(value);
  if (copy == nullptr) {
    LogFailed(-1, "malloc", GetLastError());
    return -1;
  }
  free(g_config->anonymous_path);
  g_config->anonymous_path = copy;
  return 0;
}

int OnAnonymousPass(const char* key, char* value) {
  if (strcmp(value, "mail") == 0)
    g_config->anonymous_pass = 0;
  else if (strcmp(value, "guest") == 0)
    g_config->anonymous_pass = 1;
  else if (strcmp(value, "any") == 0)
    g_config->anonymous_pass = 2;
  else
    LogWrite(2, "%s=%s is unknown.", key, value);
  return 0;
}

int OnPasvBind(const char*, char* value) {
  if (strcmp(value, "*") == 0) return ReadHostName(g_config->pasv_bind);
  torva::CopyTruncated(g_config->pasv_bind, value);
  return 0;
}

int OnPasvAddr(const char*, char* value) {
  torva::CopyTruncated(g_config->pasv_addr, value);
  for (char* p = g_config->pasv_addr; *p; ++p)
    if (*p == '.') *p = ',';
  return 0;
}

int ListTypeOf(const char* value) {
  if (strcmp(value, "default") == 0) return LIST_DEFAULT;
  if (strcmp(value, "unix") == 0) return LIST_UNIX;
  if (strcmp(value, "nameonly") == 0) return LIST_NAMEONLY;
  return LIST_UNSET;
}

int OnListTypeNlst(const char*, char* value) {
  g_config->list_type_nlst = ListTypeOf(value);
  return 0;
}

int OnListTypeList(const char*, char* value) {
  g_config->list_type_list = ListTypeOf(value);
  return 0;
}

int OnDefaultLang(const char*, char* value) {
  if (strcmp(value, "ja") == 0)
    g_config->default_lang = LANG_JA;
  else if (strcmp(value, "en") == 0)
    g_config->default_lang = LANG_EN;
  else
    LogWrite(2, "Unknown language: %s", value);
  return 0;
}

int OnSymlinksOutside(const char*, char* value) {
  g_config->symlinks_outside = strcmp(value, "allow") == 0 ? 1 : 0;
  return 0;
}

int OnSjisTable(const char* key, char* value) {
  if (strcmp(value, "cp932") == 0)
    g_config->sjis_table = SJIS_TABLE_CP932;
  else if (strcmp(value, "jis0208") == 0)
    g_config->sjis_table = SJIS_TABLE_JIS0208;
  else
    LogWrite(2, "%s=%s is unknown.", key, value);
  return 0;
}

int OnRunAs(const char*, char* value) {
  torva::CopyTruncated(g_config->run_as, value);
  return 0;
}

constexpr KeyDef kKeys[] = {
    {"log-level", Kind::kNumber, &ConfigTbl::log_level, nullptr},
    {"access-command", Kind::kIgnored, nullptr, nullptr},
    {"access-command2", Kind::kIgnored, nullptr, nullptr},
    {"transfer-command", Kind::kIgnored, nullptr, nullptr},
    {"service-command", Kind::kIgnored, nullptr, nullptr},
    {"ignore-command", Kind::kCustom, nullptr, OnIgnoreCommand},
    {"buffer-size", Kind::kCustom, nullptr, OnBufferSize},
    {"bind-host", Kind::kCustom, nullptr, OnBindHost},
    {"bind-port", Kind::kCustom, nullptr, OnBindPort},
    {"socket-protocol", Kind::kCustom, nullptr, OnProtocol},
    {"socket-domain", Kind::kCustom, nullptr, OnSocketDomain},
    {"socket-type", Kind::kCustom, nullptr, OnSocketType},
    {"socket-backlog", Kind::kNumber, &ConfigTbl::socket_backlog, nullptr},
    {"retry-seconds", Kind::kNumber, &ConfigTbl::retry_seconds, nullptr},
    {"time-flag", Kind::kFlag, &ConfigTbl::time_flag, nullptr},
    {"loop-cycle-sec", Kind::kNumber, &ConfigTbl::loop_cycle_sec, nullptr},
    {"loop-cycle-usec", Kind::kNumber, &ConfigTbl::loop_cycle_usec, nullptr},
    {"max-connect", Kind::kNumber, &ConfigTbl::max_connect, nullptr},
    {"session-timeout", Kind::kNumber, &ConfigTbl::session_timeout, nullptr},
    {"dump-log", Kind::kFlag, &ConfigTbl::dump_log, nullptr},
    {"access-log2", Kind::kFlag, &ConfigTbl::access_log2, nullptr},
    {"unknown-command", Kind::kCustom, nullptr, OnUnknownCommand},
    {"ready-message", Kind::kCustom, nullptr, OnReadyMessage},
    {"dir-separator", Kind::kCustom, nullptr, OnDirSeparator},
    {"pasv-wait", Kind::kNumber, &ConfigTbl::pasv_wait, nullptr},
    {"pasv-port", Kind::kCustom, nullptr, OnPasvPort},
    {"auth-mechanism", Kind::kCustom, nullptr, OnAuthMechanism},
    {"ssl-detail-log", Kind::kFlag, &ConfigTbl::ssl_detail_log, nullptr},
    {"implicit-flag", Kind::kFlag, &ConfigTbl::implicit_flag, nullptr},
    {"list-type-unix", Kind::kFlag, &ConfigTbl::list_type_unix, nullptr},
    {"disconnect", Kind::kCustom, nullptr, OnDisconnect},
    {"anonymous", Kind::kCustom, nullptr, OnAnonymous},
    {"anonymous-path", Kind::kCustom, nullptr, OnAnonymousPath},
    {"anonymous-pass", Kind::kCustom, nullptr, OnAnonymousPass},
    {"anonymous-write", Kind::kCustom, nullptr, OnAnonymousWrite},
    {"delayed-response", Kind::kNumber, &ConfigTbl::delayed_response, nullptr},
    {"failure-limit", Kind::kNumber, &ConfigTbl::failure_limit, nullptr},
    {"pasv-bind", Kind::kCustom, nullptr, OnPasvBind},
    {"pasv-addr", Kind::kCustom, nullptr, OnPasvAddr},
    {"code-no-check", Kind::kFlag, &ConfigTbl::code_no_check, nullptr},
    {"no-list-dir", Kind::kFlag, &ConfigTbl::no_list_dir, nullptr},
    {"list-type-NLST", Kind::kCustom, nullptr, OnListTypeNlst},
    {"list-type-LIST", Kind::kCustom, nullptr, OnListTypeList},
    {"utf8-mode", Kind::kFlag, &ConfigTbl::utf8_mode, nullptr},
    {"default-lang", Kind::kCustom, nullptr, OnDefaultLang},
    {"utf8-ctrl-only", Kind::kFlag, &ConfigTbl::utf8_ctrl_only, nullptr},
    {"opts-impl-UTF8", Kind::kFlag, &ConfigTbl::opts_impl_utf8, nullptr},
    {"SIZE-msg-compat", Kind::kFlag, &ConfigTbl::size_msg_compat, nullptr},
    {"failure-keep", Kind::kFlag, &ConfigTbl::failure_keep, nullptr},
    {"require-tls", Kind::kFlag, &ConfigTbl::require_tls, nullptr},
    {"tls13", Kind::kFlag, &ConfigTbl::tls13, nullptr},
    {"require-ssl-reuse", Kind::kFlag, &ConfigTbl::require_ssl_reuse, nullptr},
    {"failure-needs-password", Kind::kFlag, &ConfigTbl::failure_needs_password, nullptr},
    {"sjis-table", Kind::kCustom, nullptr, OnSjisTable},
    {"run-as", Kind::kCustom, nullptr, OnRunAs},
    {"max-connect-per-host", Kind::kNumber, &ConfigTbl::max_connect_per_host, nullptr},
    {"symlinks-outside", Kind::kCustom, nullptr, OnSymlinksOutside},
    // Client extensions.
    {"enable-command", Kind::kCustom, nullptr, OnEnableCommand},
    {"list-standard", Kind::kFlag, &ConfigTbl::list_standard, nullptr},
    {"feat-utf8", Kind::kFlag, &ConfigTbl::feat_utf8, nullptr},
};
// The 49 classic keys, the operations extensions, the attack-proofing ones and
// the client extensions.
static_assert(sizeof kKeys / sizeof kKeys[0] == 49 + 6 + 2 + 3);

// Applies one key=value line; -1 when start-up must stop.
int ApplyLine(char* line) {
  char* eq = strchr(line, '=');
  if (eq == nullptr) return 0;
  *eq = '\0';
  char* key = TrimString(line);
  char* value = TrimString(eq + 1);
  for (const auto& def : kKeys) {
    if (strcmp(key, def.key) != 0) continue;
    switch (def.kind) {
      case Kind::kNumber: g_config->*def.field = torva::AtoiLike(value); return 0;
      case Kind::kFlag: g_config->*def.field = strcmp(value, "on") == 0 ? 1 : 0; return 0;
      case Kind::kIgnored: return 0;
      case Kind::kCustom: return def.handler(key, value);
    }
  }
  LogWrite(2, "Unknown Config : param=%s value=%s", key, value);
  return 0;
}

enum class LineRead { kLine, kTooLong, kEnd };

// Reads the next line into `line` and counts it in *number. A line that does
// not fit (its end, LF or CR LF, not counted) is read to its end and reported
// as kTooLong. Bytes are taken from the stream's buffer one by one, so a NUL
// inside a line cannot hide how long it is.
LineRead ReadConfigLine(FILE* f, char (&line)[1024], int* number) {
  size_t n = 0;
  bool too_long = false;
  int c = getc(f);
  if (c == EOF) return LineRead::kEnd;
  ++*number;
  for (; c != EOF && c != '\n'; c = getc(f)) {
    if (n + 1 < sizeof line) {
      line[n++] = static_cast<char>(c);
    } else if (c == '\r') {
      int next = getc(f);
      if (next == '\n' || next == EOF) break;
      ungetc(next, f);
      too_long = true;
    } else {
      too_long = true;
    }
  }
  line[n] = '\0';
  return too_long ? LineRead::kTooLong : LineRead::kLine;
}

// Values that leave the server unable to serve are started with, as always,
// but not without a word.
void WarnUnusable() {
  if (g_config->max_connect <= 0)
    LogWrite(2, "max-connect=%d: no client will ever be served.", g_config->max_connect);
  if (g_config->session_timeout <= 0)
    LogWrite(2, "session-timeout=%d: every session ends at its first wait for a command.",
             g_config->session_timeout);
}

void ShowDisconnect(const uint8_t a[4], const uint8_t m[4]) {
  LogWrite(3, "disconnect: %u.%u.%u.%u (%u.%u.%u.%u)", a[0], a[1], a[2], a[3], m[0], m[1], m[2],
           m[3]);
}

void ShowDisconnect6(const uint8_t a[16], const uint8_t m[16]) {
  char address[64];
  char mask[64];
  LogWrite(3, "disconnect: %s (%s)", InetNtop(WS_AF_INET6, a, address, sizeof address),
           InetNtop(WS_AF_INET6, m, mask, sizeof mask));
}

const char* OnOff(int v) { return v ? "on" : "off"; }

}  // namespace

const char* CommandName(int id) { return id >= 0 && id < CMD_COUNT ? kCommandNames[id] : ""; }

int ConfigLoad(const char* path) {
  TRACE_START("ConfigLoad", "ConfigLoad");
  for (int i = 0; i < CMD_COUNT; ++i) {
    g_config->cmd_enable[i] = i < kClassicCommandCount ? 1 : 0;
    g_config->cmd_ignored[i] = 0;
  }
  for (CommandId id : kOffAtStart) g_config->cmd_enable[id] = 0;

  char country[64];
  if (GetLocaleInfo(LOCALE_USER_DEFAULT, LOCALE_SENGCOUNTRY, country, sizeof country) > 0) {
    printf(" - Locale = %s\n", country);
    fflush(stdout);
    g_config->default_lang = strcmp(country, "Japan") == 0 ? LANG_JA : LANG_EN;
  } else {
    g_config->default_lang = LANG_EN;
  }

  // Only a regular file is read: a FIFO would block start-up, and a
  // directory would read as an empty configuration.
  UniqueFile f(OpenRegularFile(path, "r"));
  if (!f) {
    if (IsRegularFile(path) == 0)
      LogWrite(-1, "%s is not a regular file!", path);
    else
      LogWrite(-1, "%s was not found!", path);
    TRACE_END("ConfigLoad", "ConfigLoad");
    return -1;
  }
  char line[1024];
  int number = 0;
  for (LineRead r; (r = ReadConfigLine(f.Get(), line, &number)) != LineRead::kEnd;) {
    if (r == LineRead::kTooLong) {
      // A line longer than the buffer: its tail must not become a setting.
      LogWrite(2, "Line %d of the configuration is too long and was ignored.", number);
      continue;
    }
    if (line[0] == '#') continue;
    if (ApplyLine(line) != 0) {
      TRACE_END("ConfigLoad", "ConfigLoad");
      return -1;
    }
  }
  f.Reset();
  WarnUnusable();
  if (g_config->pasv_bind[0] == '\0')
    torva::CopyTruncated(g_config->pasv_bind, g_config->bind_host);
  if (PasvPortRing() != 0) {
    LogWrite(1, "Can not initialized the PASV ports.");
    TRACE_END("ConfigLoad", "ConfigLoad");
    return -1;
  }
  TRACE_END("ConfigLoad", "ConfigLoad");
  return 0;
}

void ConfigShow() {
  const ConfigTbl& c = *g_config;
  LogWrite(3, "********** SHOW CONFIG - START **********");
  for (CommandId id : kShowOrder)
    if (!c.cmd_enable[id]) LogWrite(3, "ignore-command: [%s]", kCommandNames[id]);
  LogWrite(3, "auth-mechanism: [%s]",
           c.auth_mechanism == AUTH_SSL   ? "SSL"
           : c.auth_mechanism == AUTH_TLS ? "TLS"
                                          : "none");
  LogWrite(3, "implicit-flag: [%s]", OnOff(c.implicit_flag));
  LogWrite(3, "log-level: [%d]", c.log_level);
  LogWrite(3, "dump-log: [%s]", OnOff(c.dump_log));
  LogWrite(3, "time-flag: [%d]", c.time_flag);
  LogWrite(3, "access-log2: [%s]", OnOff(c.access_log2));
  LogWrite(3, "loop-cycle-sec: [%d]", c.loop_cycle_sec);
  LogWrite(3, "loop-cycle-usec: [%d]", c.loop_cycle_usec);
  LogWrite(3, "max-connect: [%d]", c.max_connect);
  LogWrite(3, "buffer-size: [%d]", c.buffer_size);
  LogWrite(3, "bind-host: [%s]", c.bind_host);
  LogWrite(3, "bind-port: [%s/%d]", c.bind_port, FromNet(c.port));
  LogWrite(3, "socket-protocol: [%s/%d]", c.protocol_name, c.protocol_number);
  LogWrite(3, "socket-backlog: [%d]", c.socket_backlog);
  LogWrite(3, "session-timeout: [%d]", c.session_timeout);
  LogWrite(3, "retry-seconds: [%d]", c.retry_seconds);
  LogWrite(3, "socket-domain: [%d]", c.socket_domain);
  LogWrite(3, "socket-type: [%d]", c.socket_type);
  LogWrite(3, "unkwnon-command: [%s]", c.unknown_close ? "close" : "keep");
  if (c.ready_message)
    LogWrite(3, "ready-message: [%s]", c.ready_message);
  else
    LogWrite(3, "ready-message: (default)");
  LogWrite(3, "dir-separator: [%c]", c.dir_separator);
  LogWrite(3, "pasv-bind: [%s]", c.pasv_bind);
  LogWrite(3, "pasv-addr: [%s]", c.pasv_addr);
  LogWrite(3, "pasv-wait: [%d]", c.pasv_wait);
  for (int i = 1; i <= c.pasv_port_count; ++i)
    LogWrite(3, "pasv-port(%d): [%d]", i, FromNet(PasvPortNext()));
  LogWrite(3, "list-type-unix: [%s]", OnOff(c.list_type_unix));
  DisconForEach(ShowDisconnect);
  DisconForEach6(ShowDisconnect6);
  LogWrite(3, "anonymous: [%d]", c.anonymous);
  LogWrite(3, "anonymous-write: [%d]", c.anonymous_write);
  LogWrite(3, "anonymous-pass: [%d]", c.anonymous_pass);
  if (c.anonymous_path)
    LogWrite(3, "anonymous-path: [%s]", c.anonymous_path);
  else
    LogWrite(3, "anonymous-path: [(not defined)]");
  LogWrite(3, "delayed-response: [%d]", c.delayed_response);
  LogWrite(3, "failure-limit: [%d]", c.failure_limit);
  LogWrite(3, "failure-keep: [%s]", OnOff(c.failure_keep));
  LogWrite(3, "code-no-check: [%s]", OnOff(c.code_no_check));
  if (c.no_list_dir)
    LogWrite(3, "no_list_dir: [on]");
  else
    LogWrite(3, "no-list-dir: [off]");
  LogWrite(3, "list-type-NLST: [%d]", c.list_type_nlst);
  LogWrite(3, "list-type-LIST: [%d]", c.list_type_list);
  LogWrite(3, "utf8-mode: [%s]", OnOff(c.utf8_mode));
  LogWrite(3, "opts-impl-UTF8: [%s]", OnOff(c.opts_impl_utf8));
  if (c.utf8_ctrl_only) LogWrite(3, "utf8-ctrl-only: [on]");
  LogWrite(3, "default-lang: [%s]", c.default_lang == LANG_JA ? "ja" : "en");
  LogWrite(3, "SIZE-msg-compat: [%s]", OnOff(c.size_msg_compat));
  // Extensions are listed only when set, so a classic configuration lists
  // exactly what it always did.
  if (c.require_tls) LogWrite(3, "require-tls: [on]");
  if (c.tls13) LogWrite(3, "tls13: [on]");
  if (c.require_ssl_reuse) LogWrite(3, "require-ssl-reuse: [on]");
  if (c.failure_needs_password) LogWrite(3, "failure-needs-password: [on]");
  if (c.sjis_table == SJIS_TABLE_CP932) LogWrite(3, "sjis-table: [cp932]");
  if (c.run_as[0] != '\0') LogWrite(3, "run-as: [%s]", c.run_as);
  if (c.max_connect_per_host > 0) LogWrite(3, "max-connect-per-host: [%d]", c.max_connect_per_host);
  if (c.symlinks_outside) LogWrite(3, "symlinks-outside: [allow]");
  for (CommandId id : kEnableable)
    if (c.cmd_enable[id]) LogWrite(3, "enable-command: [%s]", kCommandNames[id]);
  if (c.list_standard) LogWrite(3, "list-standard: [on]");
  if (c.feat_utf8) LogWrite(3, "feat-utf8: [on]");
  LogWrite(3, "********** SHOW CONFIG - END **********");
}
