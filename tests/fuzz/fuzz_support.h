// What the fuzz harnesses share: a scratch directory of their own (on tmpfs
// when there is one), a registry file in it, and a quiet server log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

// Creates the scratch directory once and points TORVA_REGISTRY into it.
// Returns its path.
const std::string& Scratch();

// Stores a REG_SZ value in the installation settings key.
void SetSetting(const char* name, const std::string& value);

// Allocates the server's configuration table with the start values the
// harnesses share; the server log goes to /dev/null unless TORVA_FUZZ_LOG is
// set.
void QuietServer();

// Writes bytes to a file, replacing it.
void WriteFile(const std::string& path, const uint8_t* data, size_t size);

// Removes everything below a directory (not the directory itself).
void EmptyDirectory(const std::string& dir);

}  // namespace fuzz
