// Log-in and session state: USER, PASS, REIN, QUIT.
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

int CmdUser(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdPass(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdRein(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdQuit(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// Cuts an argument at its first CR, else at its first LF (double-byte aware).
void CutLineEnd(const FtpTbl* ftp, char* arg);
