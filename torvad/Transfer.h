// File transfer: TYPE, RETR, STOR, APPE and STOU.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

int CmdType(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdRetr(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdStor(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdStou(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdAppe(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// Receives a file over the data connection into `name`. `mode` is "wb", "wt",
// "ab" or "at" (replace or append; binary or text form); `unique` is 1 for
// STOU, which names the stored file in its reply. 0 keeps the session, -1
// ends it.
int StoreFile(FtpTbl* ftp, SOCKET sock, const char* name, const char* mode, int unique);

// Working size of the transfer buffer: buffer-size, or 4096 when the key is
// missing from the configuration.
int TransferBufferSize();

// Reads one line of a file in text form: each CR LF of the file becomes LF,
// and the first byte 0x1A ends the file. Stores at most `max` bytes, the line's
// LF included; sets *ended when the file has no more to give (0x1A, end of
// file or read error). Returns the number of bytes stored.
size_t TextReadLine(FILE* file, char* buf, size_t max, bool* ended);

// Removes every CR of received text in place; returns the new length.
size_t DropCarriageReturns(char* data, size_t length);

// Writes received text with every LF stored as CR LF. Returns how many of the
// `length` given bytes were written (fewer on a write failure).
size_t TextWrite(FILE* file, const char* data, size_t length);
