// What the disconnect list commands (tvban, tvunban, tvlsban) share: the
// lookup of the disconnect directory and the opening of tvban and tvunban.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

namespace torva {

// Reads "DisconnectDir" into dir[size]. tvban and tvunban open the
// installation settings key with full access and create it when absent;
// tvlsban, which only reads, opens it for reading (`read_only`) and creates
// nothing. On failure writes the commands' message on standard error (after
// naming a missing registry file) and returns false; the caller then exits
// with 255.
bool ReadDisconnectDir(char* dir, DWORD size, bool read_only = false);

// The opening that tvban and tvunban share: the usage text (on standard
// output) without an argument, the address, the directory and the disconnect
// file's path. Returns -1 with `path` filled to go on, else the exit code to
// end with.
int BanCommandTarget(int argc, char** argv, const char* usage, char* path, size_t size);

}  // namespace torva
