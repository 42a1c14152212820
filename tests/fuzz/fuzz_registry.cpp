// The registry store file: whatever the file holds, every key and value can
// be walked, and a change written back keeps every other value as it was.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/registry.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

std::string g_store;

// (key path, value name, type, data) of everything reachable from the root.
using Entry = std::tuple<std::string, std::string, DWORD, std::string>;

constexpr int kMaxKeys = 32;  // the store is read again for every call

void Walk(HKEY key, const std::string& path, std::vector<Entry>& out, int& keys) {
  if (++keys > kMaxKeys) return;
  for (DWORD i = 0;; ++i) {
    char name[512];
    DWORD name_len = sizeof name;
    BYTE data[2048];
    DWORD data_len = sizeof data;
    DWORD type = REG_NONE;
    LONG rc = RegEnumValue(key, i, name, &name_len, nullptr, &type, data, &data_len);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != 0) continue;  // too long for the buffers
    out.emplace_back(path, std::string(name, name_len), type,
                     std::string(reinterpret_cast<char*>(data), data_len));
  }
  for (DWORD i = 0; keys <= kMaxKeys; ++i) {
    char name[1024];
    DWORD name_len = sizeof name;
    LONG rc = RegEnumKeyEx(key, i, name, &name_len, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != 0) continue;
    HKEY sub = nullptr;
    if (RegOpenKeyEx(key, name, 0, KEY_READ, &sub) != 0) continue;
    Walk(sub, path + "\\" + name, out, keys);
    RegCloseKey(sub);
  }
}

// Everything, or false when there were more keys than are walked.
bool Everything(std::vector<Entry>& out) {
  int keys = 0;
  Walk(HKEY_LOCAL_MACHINE, "", out, keys);
  return keys <= kMaxKeys;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_store = fuzz::Scratch() + "/registry.reg";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1536) return 0;
  fuzz::WriteFile(g_store, data, size);
  std::vector<Entry> before;
  const bool whole_before = Everything(before);
  // A writer loads the store, adds its value and writes the whole file anew.
  HKEY key = nullptr;
  if (RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Fuzz Writer", 0, nullptr, 0, KEY_ALL_ACCESS,
                     nullptr, &key, nullptr) != 0)
    abort();
  const BYTE odd[] = {0, '"', '\\', '\n', 0xFF, '=', '[', ']'};
  if (RegSetValueEx(key, "written\n\"value\"", 0, REG_BINARY, odd, sizeof odd) != 0) abort();
  BYTE back[16];
  DWORD back_len = sizeof back;
  DWORD type = REG_NONE;
  if (RegQueryValueEx(key, "written\n\"value\"", nullptr, &type, back, &back_len) != 0 ||
      type != REG_BINARY || back_len != sizeof odd || memcmp(back, odd, sizeof odd) != 0)
    abort();
  RegCloseKey(key);
  std::vector<Entry> after;
  const bool whole_after = Everything(after);
  // Whatever was readable before still reads the same.
  if (whole_before && whole_after) {
    for (const Entry& e : before) {
      bool found = false;
      for (const Entry& a : after) found = found || a == e;
      if (!found) abort();
    }
  }
  return 0;
}
