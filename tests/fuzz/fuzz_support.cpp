#include "tests/fuzz/fuzz_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "common/torva.h"
#include "platform/registry.h"
#include "torvad/ConfigTbl.h"

namespace fuzz {

const std::string& Scratch() {
  static const std::string dir = [] {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/torva-fuzz-XXXXXX";
    std::string made = mkdtemp(tmpl.data()) ? tmpl : std::string();
    if (made.empty()) abort();
    setenv("TORVA_REGISTRY", (made + "/registry.reg").c_str(), 1);
    // The scratch directory goes with the process.
    static std::string to_remove = made;
    atexit([] { std::filesystem::remove_all(to_remove); });
    return made;
  }();
  return dir;
}

void SetSetting(const char* name, const std::string& value) {
  Scratch();
  HKEY key = nullptr;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, torva::kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                     nullptr, &key, nullptr) != 0 ||
      RegSetValueEx(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                    static_cast<DWORD>(value.size() + 1)) != 0)
    abort();
  RegCloseKey(key);
}

void QuietServer() {
  // The server log is standard output; the fuzzer reports on standard error.
  // TORVA_FUZZ_LOG keeps the log, to see what an input does.
  int null = getenv("TORVA_FUZZ_LOG") ? -1 : open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
  g_config->log_level = 5;
  g_config->list_type_unix = 1;
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  fclose(f);
}

void EmptyDirectory(const std::string& dir) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    std::filesystem::remove_all(e.path(), ec);
}

}  // namespace fuzz
