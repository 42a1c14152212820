// The configuration table: filled once at start-up from torvad.conf, read
// without locks by every thread afterwards.
#pragma once

#include <cstdint>

// Commands with an enable flag, in the order of the table's flags.
enum CommandId : int {
  CMD_USER,
  CMD_PASS,
  CMD_ACCT,
  CMD_CWD,
  CMD_CDUP,
  CMD_SMNT,
  CMD_REIN,
  CMD_QUIT,
  CMD_AUTH,
  CMD_ADAT,
  CMD_PROT,
  CMD_PBSZ,
  CMD_CCC,
  CMD_MIC,
  CMD_CONF,
  CMD_ENC,
  CMD_PORT,
  CMD_PASV,
  CMD_TYPE,
  CMD_STRU,
  CMD_MODE,
  CMD_RETR,
  CMD_STOR,
  CMD_STOU,
  CMD_APPE,
  CMD_ALLO,
  CMD_RNFR,
  CMD_RNTO,
  CMD_ABOR,
  CMD_DELE,
  CMD_RMD,
  CMD_MKD,
  CMD_PWD,
  CMD_LIST,
  CMD_NLST,
  CMD_SITE,
  CMD_SYST,
  CMD_STAT,
  CMD_HELP,
  CMD_NOOP,
  CMD_SIZE,
  CMD_FEAT,
  CMD_OPTS,
  CMD_LANG,
  // Commands beyond the classic set: off until "enable-command" names them.
  CMD_REST,
  CMD_MDTM,
  CMD_MFMT,
  CMD_MLSD,
  CMD_MLST,
  CMD_EPSV,
  CMD_EPRT,
  CMD_COUNT
};
// The classic commands come first: the settings listing and HELP show them in
// their own order, and the ones after them only when switched on.
inline constexpr int kClassicCommandCount = CMD_REST;
static_assert(kClassicCommandCount == 44);
static_assert(CMD_COUNT == 51);

// Name of a command by its id.
const char* CommandName(int id);

enum AuthMechanism : int { AUTH_NONE = 0, AUTH_SSL = 1, AUTH_TLS = 2, AUTH_SSL3 = 3 };
enum ListType : int { LIST_UNSET = 0, LIST_DEFAULT = 1, LIST_UNIX = 2, LIST_NAMEONLY = 3 };
enum Lang : int { LANG_JA = 0, LANG_EN = 1 };
// Table that converts file names between Shift_JIS and UCS-2.
enum SjisTable : int { SJIS_TABLE_JIS0208 = 0, SJIS_TABLE_CP932 = 1 };

struct ConfigTbl {
  char bind_host[256];
  char bind_port[256];
  uint8_t bind_addr[32];
  char protocol_name[32];
  char* ready_message;
  int log_level;
  int dump_log;
  int time_flag;
  int access_log2;
  int addr_length;
  int protocol_number;
  int socket_domain;
  int socket_type;
  int socket_backlog;
  int retry_seconds;
  int loop_cycle_sec;
  int loop_cycle_usec;
  int max_connect;
  int session_timeout;
  int buffer_size;
  int unknown_close;
  int pasv_wait;
  int cmd_enable[CMD_COUNT];
  uint16_t port;  // network byte order
  char dir_separator;
  int auth_mechanism;
  int ssl_detail_log;
  int implicit_flag;
  int list_type_unix;
  int anonymous;
  char* anonymous_path;
  int anonymous_write;
  int anonymous_pass;
  int delayed_response;
  int failure_limit;
  char pasv_bind[256];
  uint8_t pasv_bind_addr[32];
  char pasv_addr[256];
  int pasv_port_count;
  int code_no_check;
  int no_list_dir;
  int list_type_nlst;
  int list_type_list;
  int utf8_mode;
  int default_lang;
  int utf8_ctrl_only;
  int opts_impl_utf8;
  int size_msg_compat;
  int failure_keep;
  // Operations extensions; each is off (0 or empty) when its key is absent.
  int require_tls;             // log-in and data connections only under TLS
  int tls13;                   // auth-mechanism=TLS also offers TLS 1.3
  int require_ssl_reuse;       // protected data connections resume the control session
  int failure_needs_password;  // only sessions that sent PASS count as failures
  int sjis_table;              // SjisTable
  char run_as[256];            // account the server drops to once it listens
  // Additions beyond the classic keys; each is off when its key is absent.
  int max_connect_per_host;  // sessions one client address may hold; 0: no limit
  int symlinks_outside;      // 1: links may lead out of a user's top directory
  // Client extensions, each off when its key is absent.
  int list_standard;           // list-standard: LIST/NLST as clients expect them
  int feat_utf8;               // feat-utf8: FEAT shows UTF8 without auth-mechanism
  int cmd_ignored[CMD_COUNT];  // named by ignore-command (wins over enable-command)
};

// The process's table; null until start-up has allocated it. Only start-up
// (tvsmain, ConfigLoad, ConfigSetup, and PasvPorts counting the ports it
// reads) writes through this pointer.
extern ConfigTbl* g_config;

// The table as everything after start-up reads it: handlers, sessions and
// the lists take it read-only.
inline const ConfigTbl& Config() { return *g_config; }
