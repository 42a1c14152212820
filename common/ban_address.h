// The disconnect list as the server and the ban commands (tvban, tvunban,
// tvlsban) both see it: the address text and the disconnect file of an IPv4
// or IPv6 address.
#pragma once

#include <cstddef>
#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/socket.h"

namespace torva {

enum class BanAddressRead { kOk, kFormat, kRange };

// Reads "a.b.c.d" the way the commands always have: each part is converted as
// atoi converts it (no digits give 0, the part ends at its first other
// character). kFormat when the first, second or third dot is missing; kRange
// when a part lies outside 0..255, as taking it modulo 256 would ban an
// address nobody named (300.1.1.1 was 44.1.1.1).
inline BanAddressRead ReadBanAddress(const char* text, unsigned char out[4]) {
  const char* dot1 = strchr(text, '.');
  if (dot1 == nullptr) return BanAddressRead::kFormat;
  const char* dot2 = strchr(dot1 + 1, '.');
  if (dot2 == nullptr) return BanAddressRead::kFormat;
  const char* dot3 = strchr(dot2 + 1, '.');
  if (dot3 == nullptr) return BanAddressRead::kFormat;
  // atoi stops at the first character that is not a digit, so each part ends
  // at its dot without the text having to be cut there.
  const char* parts[4] = {text, dot1 + 1, dot2 + 1, dot3 + 1};
  for (int i = 0; i < 4; ++i) {
    int v;
    if (!AtoiInRange(parts[i], 0, 255, &v)) return BanAddressRead::kRange;
    out[i] = static_cast<unsigned char>(v);
  }
  return BanAddressRead::kOk;
}

// The same as a yes or no.
inline bool ParseBanAddress(const char* text, unsigned char out[4]) {
  return ReadBanAddress(text, out) == BanAddressRead::kOk;
}

// Room for a disconnect directory of `dir_size` bytes plus the separator, the
// 8 (IPv4) or 32 (IPv6) hex digits and ".dca".
inline constexpr size_t DisconnectPathSize(size_t dir_size) { return dir_size + 40; }

// An IPv6 address as the ban commands and the server write it: text with at
// least one ':' (as inet_pton reads it). false for anything else.
inline bool ParseBanAddress6(const char* text, unsigned char out[16]) {
  return strchr(text, ':') != nullptr && InetPton(WS_AF_INET6, text, out) == 1;
}

// Forms the disconnect file path of an address. `path` must hold
// DisconnectPathSize(strlen(dir) + 1) bytes; returns false when it does not.
inline bool DisconnectFilePath(char* path, size_t size, const char* dir,
                               const unsigned char addr[4]) {
  return Format(path, size, kDisconnectFileFormat, dir, addr[0], addr[1], addr[2], addr[3]);
}

// The disconnect file of an IPv6 address: the 16 bytes in order as 32
// upper-case hex digits, then ".dca". Same contract as DisconnectFilePath.
inline bool DisconnectFilePath6(char* path, size_t size, const char* dir,
                                const unsigned char addr[16]) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  char hex[33];
  for (size_t i = 0; i < 16; ++i) {
    hex[2 * i] = kHex[addr[i] >> 4];
    hex[2 * i + 1] = kHex[addr[i] & 0xF];
  }
  hex[32] = '\0';
  return Format(path, size, "%s%c%s.dca", dir, kPathSep, hex);
}

}  // namespace torva
