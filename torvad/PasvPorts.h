// The passive port ring: the ports of "pasv-port", handed out in turn to PASV.
// Filled while the configuration is read; shared by every session afterwards
// (see torvad/SharedState.h).
#pragma once

#include <cstdint>

// Takes "N" or "N-M" (either order, cut to 0..65535) and appends the ports.
// 0, or -1 when memory runs out.
int PasvPortAdd(const char* value);
// Closes the list into a ring; an empty list becomes one port-0 entry (any
// free port). 0, or -1 when memory runs out.
int PasvPortRing();
// The next port of the ring in network byte order; 0 before PasvPortRing.
uint16_t PasvPortNext();

// Releases the ring (tests reload configurations in one process).
void PasvPortReset();
