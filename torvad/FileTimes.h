// Modification times of files: MDTM reads one, MFMT sets one. Times travel
// in UTC as YYYYMMDDHHMMSS.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/fs.h"
#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// Reads YYYYMMDDHHMMSS (exactly 14 digits, a valid UTC date and time) into a
// file time; false otherwise.
bool ParseTimeVal(const char* text, FILETIME* out);
// Formats a file time as YYYYMMDDHHMMSS in UTC; false when it cannot be.
bool FormatTimeVal(const FILETIME& time, char (&out)[16]);

int CmdMdtm(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdMfmt(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
