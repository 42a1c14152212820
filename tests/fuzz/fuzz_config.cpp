// The configuration reader: torvad.conf as the server reads it at start-up,
// then the resolution of what it names (on loopback only) and the settings
// listing.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/strutil.h"
#include "tests/fuzz/fuzz_support.h"
#include "torvad/ConfigLoad.h"
#include "torvad/ConfigSetup.h"
#include "torvad/ConfigTbl.h"
#include "torvad/FailureList.h"
#include "torvad/PasvPorts.h"

namespace {

std::string g_path;

void ResetConfig() {
  PasvPortReset();
  DisconReset();
  free(g_config->ready_message);
  free(g_config->anonymous_path);
  memset(g_config, 0, sizeof *g_config);
  g_config->log_level = 5;
  g_config->list_type_unix = 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::QuietServer();
  g_path = fuzz::Scratch() + "/torvad.conf";
  unsetenv("LANG");
  unsetenv("LC_ALL");
  unsetenv("LC_CTYPE");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  fuzz::WriteFile(g_path, data, size);
  ResetConfig();
  if (ConfigLoad(g_path.c_str()) == 0) {
    // Host names would be looked up in the resolver; the rest of the set-up
    // runs as it does at start-up.
    torva::CopyTruncated(g_config->bind_host, "127.0.0.1");
    torva::CopyTruncated(g_config->pasv_bind, "127.0.0.1");
    // The listing writes a line per passive port: for a ring of thousands
    // only the lines before them are worth the time.
    if (g_config->pasv_port_count > 64) g_config->log_level = 2;
    if (ConfigSetup() == 0) ConfigShow();
    // The ring hands out every configured port once per turn.
    if (g_config->pasv_port_count <= 0 || g_config->pasv_port_count > 65536) abort();
  }
  ResetConfig();
  return 0;
}
