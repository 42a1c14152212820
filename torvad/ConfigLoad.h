// Reading torvad.conf into the configuration table (the passive ports go to
// their ring, torvad/PasvPorts.h) and the settings listing.
#pragma once

// Reads the configuration file; 0, or -1 when start-up must stop.
int ConfigLoad(const char* path);
// Logs every setting at level 3.
void ConfigShow();
