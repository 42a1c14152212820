// Login-failure counts per client address, and the disconnect list: address/mask
// entries from the configuration and one disconnect file per banned address.
#pragma once

#include <cstdint>

#include "platform/socket.h"

int FailureListInit();
// Called at the end of every session: a session that never logged in counts as
// a failure of its address; a logged-in one resets the count.
int FailureListAdd(const uint8_t address[4]);
int FailureListReset(const uint8_t address[4]);
// The same for an address of either family (IPv4 clients as IPv4).
int FailureListAdd(const SockAddress& address);
int FailureListReset(const SockAddress& address);

// Parses "a.b.c.d" or "a.b.c.d/m.m.m.m", or an IPv6 address (text with ':')
// with an optional "/prefix-length". to_file 0 appends an in-memory entry,
// 1 writes the disconnect file of the address. A value in the wrong form is
// logged and skipped (0). -1 when memory runs out, when a number lies outside
// its range, and (to_file 1) when the file could not be written.
int discon_add(const char* text, int to_file);
// 1 when the address is banned by an entry or a disconnect file.
int discon_check(const uint8_t address[4]);
int discon_check(const SockAddress& address);

// Visits the in-memory entries in order (for the settings listing).
void DisconForEach(void (*visit)(const uint8_t address[4], const uint8_t mask[4]));
void DisconForEach6(void (*visit)(const uint8_t address[16], const uint8_t mask[16]));

// Deletes the disconnect files (and nothing else) of the disconnect directory
// at start-up; -1 when the registry value cannot be read or names no usable
// directory (empty, relative, the root, not a string).
int DisconnectDirCleanup();

// Releases every list (tests reload configurations in one process).
void DisconReset();
