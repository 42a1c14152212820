// What the disconnect list commands (tvban, tvunban, tvlsban) share: the
// lookup of the disconnect directory and the opening of tvban and tvunban.
#pragma once

#include <cstddef>

#include "platform/wintypes.h"

namespace torva {

// Opens the installation settings key (created when absent) and reads
// "DisconnectDir" into dir[size]. On failure writes the commands' message on
// standard error and returns false; the caller then exits with 255.
bool ReadDisconnectDir(char* dir, DWORD size);

// The opening that tvban and tvunban share: the usage text without an
// argument, the address, the directory and the disconnect file's path.
// Returns -1 with `path` filled to go on, else the exit code to end with.
int BanCommandTarget(int argc, char** argv, const char* command, char* path, size_t size);

}  // namespace torva
