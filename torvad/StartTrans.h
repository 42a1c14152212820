#pragma once

#include <cstdint>

#include "platform/socket.h"

// Starts the session thread of an accepted connection. 0, or -1 after closing
// the socket.
int StartTrans(SOCKET sock, const SockAddress& address);
