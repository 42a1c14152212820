// The disconnect list as the server and the ban commands (tvban, tvunban,
// tvlsban) both see it: the address text and the disconnect file of an address.
#pragma once

#include <cstddef>
#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"

namespace torva {

// Parses "a.b.c.d" the way the commands always have: each part is converted
// as atoi converts it and reduced to its low eight bits (300 gives 44, -1
// gives 255); nothing else is validated. Returns false when the first, second
// or third dot is missing.
inline bool ParseBanAddress(const char* text, unsigned char out[4]) {
  const char* dot1 = strchr(text, '.');
  if (dot1 == nullptr) return false;
  const char* dot2 = strchr(dot1 + 1, '.');
  if (dot2 == nullptr) return false;
  const char* dot3 = strchr(dot2 + 1, '.');
  if (dot3 == nullptr) return false;
  // atoi stops at the first character that is not a digit, so each part ends
  // at its dot without the text having to be cut there.
  const char* parts[4] = {text, dot1 + 1, dot2 + 1, dot3 + 1};
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(AtoiLike(parts[i]) & 0xFF);
  return true;
}

// Room for a disconnect directory of `dir_size` bytes plus "/XXXXXXXX.dca".
inline constexpr size_t DisconnectPathSize(size_t dir_size) { return dir_size + 16; }

// Forms the disconnect file path of an address. `path` must hold
// DisconnectPathSize(strlen(dir) + 1) bytes; returns false when it does not.
inline bool DisconnectFilePath(char* path, size_t size, const char* dir,
                               const unsigned char addr[4]) {
  return Format(path, size, kDisconnectFileFormat, dir, addr[0], addr[1], addr[2], addr[3]);
}

}  // namespace torva
