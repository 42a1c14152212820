// Splitting a request into command lines and calling their handlers.
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// A command handler: the argument is the rest of the line after the command
// word and its blanks, CR LF still attached, or null when the word stood alone.
// 0 keeps the session, nonzero ends it.
using CommandHandler = int (*)(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// Opening checks that most handlers share: true to go on; false after replying
// "530 Not logged in." or "501 Syntax error in parameters or arguments.", and
// the handler then ends the session.
bool RequireLogin(FtpTbl* ftp, SOCKET sock);
bool RequireLoginAndArgument(FtpTbl* ftp, SOCKET sock, const char* arg);

// Checks and dispatches a request of `length` bytes ending with CR LF.
// 0 keeps the session, nonzero ends it.
int CommandDispatch(SOCKET sock, char* buffer, int length, FtpTbl* ftp, const uint8_t* client_addr);
