// The security commands: AUTH (TLS on the control connection), PBSZ and PROT
// (protection of the data connections).
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// AUTH mechanism: accepts the client's handshake on the control connection.
// A successful AUTH sets ftp->discard_rest: whatever the client sent after the
// AUTH line came before the handshake and must not be executed.
int CmdAuth(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
// PBSZ size: always buffer size 0 (stream mode needs no buffering).
int CmdPbsz(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
// PROT level: C clear, P private; anything else leaves the data clear.
int CmdProt(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
