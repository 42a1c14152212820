// Reading torvad.conf into the configuration table, the passive port ring and
// the settings listing.
#pragma once

#include <cstdint>

// Reads the configuration file; 0, or -1 when start-up must stop.
int ConfigLoad(const char* path);
// Logs every setting at level 3.
void ConfigShow();

// Passive port ring: PasvPortAdd takes "N" or "N-M" and appends the ports;
// PasvPortRing closes the list into a ring (one port-0 entry when empty);
// PasvPortNext hands out the next port, in network byte order, under its lock.
int PasvPortAdd(const char* value);
int PasvPortRing();
uint16_t PasvPortNext();

// Releases the ring (tests reload configurations in one process).
void PasvPortReset();
