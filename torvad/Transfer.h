// File transfer: TYPE, RETR, STOR, APPE and STOU, and the transfer parameters
// REST, ALLO, MODE and STRU.
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
// REST n: the next RETR or STOR starts at byte n (binary type only).
int CmdRest(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
// ALLO (nothing to reserve), MODE S and STRU F (the only ones served).
int CmdAllo(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdMode(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdStru(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// Receives a file over the data connection into `name`. `mode` is "wb", "wt",
// "ab" or "at" (replace or append; binary or text form); `unique` is 1 for
// STOU, which never replaces a file: it stores under the first free name of
// `name`, `name`.1, `name`.2, ... (a name of its own when `name` is null) and
// names it in its reply. STOR starts at the offset of a REST right before it.
// 0 keeps the session, -1 ends it.
int StoreFile(FtpTbl* ftp, SOCKET sock, const char* name, const char* mode, int unique);

// Working size of the transfer buffer: buffer-size, or 4096 when the key is
// missing from the configuration.
int TransferBufferSize();

// ASCII transfers follow the host's text convention (platform/text.h).
//
// CR LF convention with 0x1A (the C runtime's text mode):
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

// LF convention:
// Turns every LF of `length` bytes read from a file that no CR precedes into
// CR LF, in place; `data` must have room for twice `length`. *prev_cr says
// whether the byte before `data` was a CR and is updated for the next block.
// Returns the new length.
size_t ExpandLineEnds(char* data, size_t length, bool* prev_cr);
// Writes received text with each CR LF stored as LF; other CRs stay. A CR at
// the end of a block waits in *held_cr for the next block; a call with
// `length` 0 writes it out (the end of the data). `data` is changed. false
// when the file refused a write.
bool TextWriteLf(FILE* file, char* data, size_t length, bool* held_cr);

// A name for STOU when the client gives none, unique enough to be taken as
// it is in nearly every case: "stou-YYYYMMDD-HHMMSS-<thread>".
void GeneratedUniqueName(char* out, size_t size);
