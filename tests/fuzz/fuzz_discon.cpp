// Disconnect addresses: "a.b.c.d[/m.m.m.m]" as the configuration, the ban
// commands and the accept loop read them.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>

#include "common/ban_address.h"
#include "tests/fuzz/fuzz_support.h"
#include "torvad/FailureList.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietServer();
  std::string dir = fuzz::Scratch() + "/dclist";
  mkdir(dir.c_str(), 0700);
  fuzz::SetSetting(torva::kValueDisconnectDir, dir);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1100) return 0;  // one configuration line or command argument
  std::string text(reinterpret_cast<const char*>(data), size);
  unsigned char addr[4];
  if (torva::ReadBanAddress(text.c_str(), addr) == torva::BanAddressRead::kOk) {
    // What was read is what a tvlsban line would show, and reads back so.
    char shown[32];
    snprintf(shown, sizeof shown, "%d.%d.%d.%d", addr[0], addr[1], addr[2], addr[3]);
    unsigned char again[4];
    if (!torva::ParseBanAddress(shown, again) || memcmp(addr, again, 4) != 0) abort();
  }
  int rc = discon_add(text.c_str(), 0);
  if (rc != 0 && rc != -1) abort();
  // Every address the entries could match, checked against the list.
  const uint8_t probe[4] = {size > 0 ? data[0] : uint8_t{0}, size > 1 ? data[1] : uint8_t{0},
                            size > 2 ? data[2] : uint8_t{0}, size > 3 ? data[3] : uint8_t{0}};
  (void)discon_check(probe);
  DisconReset();
  return 0;
}
