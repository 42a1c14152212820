// Data connections: PORT, PASV, opening the connection for a transfer and
// closing it again.
#pragma once

#include <cstdint>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

// Ends the data connection's TLS session with its close alert, closes it and any pending
// passive listening socket, and clears the PORT/PASV mode. Sends no reply.
void DataClose(FtpTbl* ftp);

// Makes the data connection ready for one transfer or listing: accepts the
// client's connection on the pending passive socket (PASV), or connects to the
// address of PORT, then announces it with its 150 reply and starts TLS when
// the client asked for protected data. 0 when ready; -1 after replying with
// 425 and closing everything (the caller ends the session); 1 after the 521
// refusal of DataProtectionOk (the caller answers nothing more and the session
// goes on).
int DataOpen(FtpTbl* ftp, SOCKET ctrl_sock, int binary);

// The session's wait for its next request, at most timeout_ms: 1 when the
// control connection is readable, 0 timed out, SOCKET_ERROR on failure. While
// a passive socket waits for the client, connections to it are taken at once:
// the client's own is kept for the coming transfer, any other is closed, so
// that nobody can fill the passive socket's queue before the client comes.
int SessionWait(FtpTbl* ftp, SOCKET ctrl_sock, int timeout_ms);

// With require-tls on, every transfer and listing needs PROT P. False after
// replying "521 Data connections must be protected." and dropping the pending
// PORT/PASV set-up; the session goes on.
bool DataProtectionOk(FtpTbl* ftp, SOCKET ctrl_sock);

// PORT h1,h2,h3,h4,p1,p2 and PASV.
int CmdPort(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdPasv(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
// EPSV [1|2|ALL] and EPRT |family|address|port|: the same data connections
// for either address family.
int CmdEpsv(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);
int CmdEprt(SOCKET sock, char* arg, FtpTbl* ftp, const uint8_t* client_addr);

// The address family that EPRT and EPSV number 1 (IPv4) and 2 (IPv6); 0 for
// any other text.
int EprtFamily(const char* text);
enum class EprtResult { kOk, kSyntax, kUnsupported };
// Reads an EPRT argument (line end already cut). kUnsupported for a family
// number other than 1 and 2.
EprtResult ParseEprt(const char* arg, SockAddress* out);
// The bounce rule of PORT and EPRT for any family: the control connection's
// own peer address, and a port of 1024 or above.
bool ActiveTargetAllowed(const SockAddress& target, const SockAddress& peer);

// Reads the six comma-separated decimal fields of a PORT argument (a field
// that is no number reads as 0; fields after the sixth are ignored). false
// when there are fewer than six, or when one of the six lies outside 0..255.
bool ParsePortFields(const char* text, uint8_t (&addr)[4], uint16_t* port);
// An active connection may only go back to the client itself, and never to a
// privileged port: anything else would let the server attack third parties.
bool PortTargetAllowed(const uint8_t (&addr)[4], uint16_t port, const uint8_t (&peer)[4]);
