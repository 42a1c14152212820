#pragma once

#include "platform/socket.h"

// Creates, binds and listens on the configured address; the socket, or
// INVALID_SOCKET after logging why.
SOCKET StartServerSocket();
