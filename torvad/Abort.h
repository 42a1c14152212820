// ABOR: aborting a running transfer. While ABOR is switched on, a transfer
// watches the control connection between its chunks and stops when the client
// asks it to; the lines that arrive meanwhile are kept for the session loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// Starts watching for the transfer that has just opened its data connection
// (nothing while ABOR is off): the data connection stops blocking, and every
// wait for it also watches the control connection. TransferWatchEnd (called
// by DataClose) makes it block again.
void TransferWatchBegin(FtpTbl* ftp, SOCKET ctrl_sock);
void TransferWatchEnd(FtpTbl* ftp);

// True when a send or receive on a watched data connection failed only
// because it would have had to wait.
bool TransferWouldBlock(int socket_error);

// Waits until the watched data connection can take more bytes (`writing`)
// or has some to read. false when the client asked to abort meanwhile, or
// when the connection made no progress for session-timeout seconds in all
// (*stalled_ms counts; the caller sets it to 0 after each progress).
bool TransferWait(FtpTbl* ftp, bool writing, int* stalled_ms);

// Reads what the client has sent on the control connection since the last
// look (without waiting) into ftp->ctrl_early. True when a complete line is
// ABOR or the control connection has ended: the transfer then stops.
bool TransferAbortRequested(FtpTbl* ftp);

// True when a complete line among the first `length` bytes is an ABOR
// command (any case, blanks before it allowed).
bool HoldsAbort(const char* data, size_t length);

// Removes Telnet commands (IAC and the bytes of its command; IAC IAC stays
// one 0xFF byte) in place, as clients send them around ABOR (IP and the
// Synch's DM). A command cut off at the end of one read is finished in the
// next: *state carries it (0 at the start). Returns the new length.
size_t StripTelnet(char* data, size_t length, int* state);

// ABOR: "226 Abort successful." when the last transfer ended with 426 and no
// ABOR has answered it yet, else "225 No transfer to abort."; a prepared data
// connection is dropped.
int CmdAbor(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// The reply of a transfer that the client cut short (its data connection
// ended or it sent ABOR) while ABOR is on: 426, and the session goes on.
void ReplyTransferAborted(FtpTbl* ftp, SOCKET sock);
