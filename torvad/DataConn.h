// Data connections: PORT, PASV, opening the connection for a transfer and
// closing it again.
#pragma once

#include "torvad/FtpTbl.h"

// Ends the data connection's TLS session with its close alert, closes it and any pending
// passive listening socket, and clears the PORT/PASV mode. Sends no reply.
void DataClose(FtpTbl* ftp);
