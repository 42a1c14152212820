// The register of running sessions. The accept loop adds, counts, reaps and
// terminates; each session thread finds its own entry by its thread id.
#pragma once

#include <cstdint>

#include "platform/socket.h"

int ConnectListInit();
int ConnectListCount();
int ConnectListAdd(SOCKET sock, DWORD thread_id, HANDLE thread, const SockAddress& address);
// The calling thread's control socket, or INVALID_SOCKET.
SOCKET ConnectListSerch();
// The calling thread's client address (IPv4 clients as IPv4); valid until its
// entry is reaped.
const SockAddress* ConnectListSerch2();
// Marks the calling thread's entry as ended.
void ConnectListDel();
// Removes the entry of a thread that never ran (its start failed) and closes
// the thread's handle.
void ConnectListDrop(DWORD thread_id);
// Sessions from one client address that have not ended yet.
int ConnectListCountFrom(const SockAddress& address);
// Removes every ended entry.
void ConnectListChk();
// Ends every listed session (its sockets are shut down) and empties the list.
// Only termination calls it, right before the process ends.
void ConnectListTerm();
// True once ConnectListTerm has begun: sessions woken by it end without
// their own clean-up (no failure counting for a server that is stopping).
bool ConnectListTerminating();
