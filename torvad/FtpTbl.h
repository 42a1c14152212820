// The session record: everything one control connection knows, owned by its
// session thread. Handlers read and write these fields by name.
#pragma once

#include <cstdint>

#include "platform/socket.h"

struct ssl_st;  // a TLS session of the TLS library

struct FtpTbl {
  char root_dir[1024];     // local top directory, ending with '/' once logged in
  char cur_dir[1024];      // "\" at the top, else "a\b\" (virtual, '\' separated)
  char work_buf[1024];     // copy of the PORT argument
  char rename_from[1024];  // local path remembered by RNFR
  char user_name[32];
  char password[256];
  int user_given;
  int pass_given;
  int logged_in;
  int port_mode;
  int rename_pending;
  SOCKET data_sock;  // INVALID_SOCKET when there is none
  uint8_t port_addr[4];
  uint16_t port_port;  // network byte order
  int binary_type;     // 0 ASCII, 1 binary
  int pasv_mode;
  int prot_level;  // 0 clear, 3 private
  ssl_st* ctrl_ssl;
  ssl_st* data_ssl;
  int anonymous;
  int utf8_mode;
  int lang;            // 0 "ja", 1 "en"
  SOCKET pasv_listen;  // PASV's listening socket until the transfer accepts
  int discard_rest;    // set by AUTH: lines received after it are dropped
  int pass_sent;       // a PASS was checked in this session; USER and REIN keep it
  int line_has_break;  // the line being handled holds CR, LF or NUL before its end
  // Extensions; each stays at its cleared value while its command is off.
  int64_t rest_offset;      // REST: where the next RETR or STOR starts
  int epsv_all;             // after EPSV ALL only EPSV sets up data connections
  int transfer_aborted;     // the last transfer ended with 426: the next ABOR answers 226
  int telnet_state;         // a Telnet command cut off at the end of the last read
  int mlst_facts_off;       // MLST facts switched off by OPTS MLST (bits)
  SOCKET watch_ctrl;        // control socket a running transfer watches for ABOR
  SockAddress active_addr;  // where PORT or EPRT asked the server to connect
  // Control bytes that arrived while a transfer watched for ABOR; the session
  // handles them as soon as the transfer command is done.
  char ctrl_early[1024];
  int ctrl_early_len;
};

// Zero-fills a record and marks its data connection, passive listening
// socket and watched control socket absent.
void FtpTblClear(FtpTbl* ftp);
