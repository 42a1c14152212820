// Splitting a request into command lines and calling their handlers.
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// A command handler: the argument is the rest of the line after the command
// word and its blanks, CR LF still attached, or null when the word stood alone.
// 0 keeps the session, nonzero ends it.
using CommandHandler = int (*)(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// Checks and dispatches a request of `length` bytes ending with CR LF.
// 0 keeps the session, nonzero ends it.
int CommandDispatch(SOCKET sock, char* buffer, int length, FtpTbl* ftp,
                    const uint8_t* client_addr);
