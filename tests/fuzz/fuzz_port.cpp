// PORT arguments: the six fields, the check of the target, and the round trip
// of what was accepted.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "torvad/DataConn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1100) return 0;  // a PORT argument comes from one request line
  std::string text(reinterpret_cast<const char*>(data), size);
  uint8_t addr[4];
  uint16_t port = 0;
  if (!ParsePortFields(text.c_str(), addr, &port)) return 0;
  const uint8_t peer[4] = {127, 0, 0, 1};
  (void)PortTargetAllowed(addr, port, peer);
  // What was accepted reads back the same when written in the canonical form.
  char canon[64];
  snprintf(canon, sizeof canon, "%d,%d,%d,%d,%d,%d", addr[0], addr[1], addr[2], addr[3], port >> 8,
           port & 0xFF);
  uint8_t again[4];
  uint16_t port2 = 0;
  if (!ParsePortFields(canon, again, &port2) || memcmp(addr, again, 4) != 0 || port != port2)
    abort();
  return 0;
}
