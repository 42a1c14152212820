// The TLS library behind the server: one context made at start-up, and thin
// wrappers so that no other unit includes the library's headers.
#pragma once

#include <memory>

#include "platform/socket.h"
#include "torvad/FtpTbl.h"

struct ssl_st;

// Start-up step: builds the context from the configured mechanism and the
// certificate and key files. 0, or -1 after logging why (start-up stops).
int TlsStartup();
// True when a context exists ("auth-mechanism" is set).
bool TlsEnabled();

// Prints the library's error queue to standard output under the log lock.
void TlsPrintErrors();
// Prints the error queue with source file and line between marker lines.
void SslStackDump();

// A new TLS session on the context, or null (the caller prints and logs).
ssl_st* TlsNew();
// 1 on success, as the library's own call.
int TlsSetFd(ssl_st* ssl, SOCKET sock);
// Server side of the handshake on the socket given to TlsSetFd: 1 on success,
// else the library's result. Gives up once session-timeout seconds have
// passed in all, however slowly the peer trickles its bytes in.
int TlsAccept(ssl_st* ssl);
// The library's error code for a result of one of its calls.
int TlsGetError(ssl_st* ssl, int ret);
// One read / one write of up to `length` bytes: the library's result. After a
// failure other than the peer's close alert the session sends no close alert.
// With `would_block` given, a call that only ran into the socket's time-out
// (or, on a non-blocking socket, would have had to wait) sets it and leaves
// the session as it was: the same call is then repeated.
int TlsRead(ssl_st* ssl, void* buffer, int length, bool* would_block = nullptr);
// TlsRead that gives up once timeout_ms have passed in all, however slowly
// the peer trickles the bytes of a record in.
int TlsReadWithin(ssl_st* ssl, void* buffer, int length, int timeout_ms);
// Without `would_block` the write waits for room itself, giving up after
// session-timeout without progress.
int TlsWrite(ssl_st* ssl, const void* data, int length, bool* would_block = nullptr);
// The session ends without its close alert (an aborted transfer).
void TlsSetQuietShutdown(ssl_st* ssl);
// True when `ret`, the result of TlsRead, is the end of the data that the
// peer announced with its close alert (not a connection that just ended).
bool TlsClosedByPeer(ssl_st* ssl, int ret);
// Nonzero while the session holds received bytes that a wait on the socket
// would not see.
int TlsPending(ssl_st* ssl);
// Sends the close alert (no wait for the peer's); nothing after a failure.
// Null is allowed.
void TlsCloseNotify(ssl_st* ssl);
void TlsFree(ssl_st* ssl);
// Owner of a TLS session that is not yet (or no longer) in a session record.
struct TlsDeleter {
  void operator()(ssl_st* ssl) const { TlsFree(ssl); }
};
using UniqueTls = std::unique_ptr<ssl_st, TlsDeleter>;
// Installs the handshake logger on a session.
void TlsSetInfoCallback(ssl_st* ssl);

// Protection of a data connection that has just been opened and announced
// with its 150 reply: with PROT P the server accepts the client's handshake on
// ftp->data_sock into ftp->data_ssl (the client always starts it, in passive
// and active mode alike). 0 when the connection is ready; -1 after replying
// "425 Can't open data connection. (SSL)" (the caller closes the connection
// and ends the session).
int DataTlsStart(FtpTbl* ftp, SOCKET ctrl_sock);
