// The I/O of a session: replies on the control connection and bytes on the
// data connection, through TLS when the connection is protected.
#pragma once

#include <cstddef>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// One reply line (CR LF appended), converted to UTF-8 when the session says so.
// `ftp` may be null: the line then goes out plain and unconverted.
int ReplySend(FtpTbl* ftp, SOCKET sock, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// One text line on the data connection (listing lines).
int DataTextSend(FtpTbl* ftp, const char* format, ...) __attribute__((format(printf, 2, 3)));
// All bytes on the data connection; 0 or -1.
int DataSend(FtpTbl* ftp, const void* data, int length);
// One receive from the data connection: 0 with *size set (0 at the end of the
// data), or -1. While a transfer watches for ABOR (Abort.h), both also give
// -1 when the client asked to abort, and a silent peer is waited for up to
// session-timeout.
int DataRecv(FtpTbl* ftp, void* buffer, int* size);
// One receive as DataRecv, without watching. With `would_block` given, a
// receive that would have had to wait sets it and returns 0 with *size
// untouched.
int DataRecvOnce(FtpTbl* ftp, void* buffer, int* size, bool* would_block);
