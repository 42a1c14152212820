// What the server says about itself (FEAT, HELP, STAT, SYST, NOOP) and the two
// per-session switches of file-name handling: OPTS UTF8 and LANG.
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

int CmdFeat(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdOpts(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdLang(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
// HELP and STAT need a logged-in session; otherwise they end it.
int CmdHelp(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdStat(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdSyst(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdNoop(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
