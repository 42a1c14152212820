#include "torvad/FailureList.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/ban_address.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/fs.h"
#include "platform/registry.h"
#include "platform/unique_handle.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/SharedState.h"

namespace {

struct FailureEntry {
  SockAddress address;  // family and address; the port is 0
  int count;
  int banned;  // a disconnect file was written for it in this run; never cleared
  FailureEntry* next;
};

// Shared state: see torvad/SharedState.h for what the lock guards and its order.
struct FailureList {
  std::mutex mu;
  FailureEntry* head = nullptr;
  FailureEntry* tail = nullptr;
};
FailureList g_failures;

struct DisconEntry {
  int family;  // WS_AF_INET (4 bytes used) or WS_AF_INET6
  uint8_t address[16];
  uint8_t mask[16];
  DisconEntry* next;
};

// Written while the configuration is read, then only read by the main thread.
DisconEntry* g_discon_head = nullptr;
DisconEntry* g_discon_tail = nullptr;
// Disconnect directory as read by the first discon_check that needed it.
char g_discon_dir[1024];
bool g_discon_dir_known = false;

FailureEntry* FindFailure(const SockAddress& a) {
  for (FailureEntry* e = g_failures.head; e != nullptr; e = e->next)
    if (SockAddressEqual(e->address, a)) return e;
  return nullptr;
}

// An address without its port, as the failure list keys it.
SockAddress Key(const SockAddress& a) {
  SockAddress k = a;
  k.port = 0;
  return k;
}

// The text of an address in the failure list's messages.
void AddressText(const SockAddress& a, char (&text)[64]) {
  if (a.family == WS_AF_INET)
    snprintf(text, sizeof text, "%d.%d.%d.%d", a.addr[0], a.addr[1], a.addr[2], a.addr[3]);
  else
    SockAddressText(a, text, sizeof text);
}

// An IPv6 disconnect entry "address" or "address/prefix" (0 to 128 bits).
bool ParseDiscon6(char* work, uint8_t (&address)[16], uint8_t (&mask)[16]) {
  int prefix = 128;
  if (char* slash = strchr(work, '/')) {
    *slash = '\0';
    const char* p = slash + 1;
    if (*p < '0' || *p > '9') return false;
    // A long run of digits must not wrap round into the range.
    if (!torva::AtoiInRange(p, 0, 128, &prefix)) return false;
    for (; *p != '\0'; ++p)
      if (*p < '0' || *p > '9') return false;
  }
  if (!torva::ParseBanAddress6(work, address)) return false;
  for (int i = 0; i < 16; ++i) {
    int bits = prefix - 8 * i;
    mask[i] = static_cast<uint8_t>(bits >= 8 ? 0xFF : bits <= 0 ? 0 : (0xFF << (8 - bits)) & 0xFF);
  }
  return true;
}

// True when an in-memory entry covers the address.
bool Covers(const DisconEntry& e, const SockAddress& a) {
  if (e.family != a.family) return false;
  const int len = SockAddressLength(a);
  for (int i = 0; i < len; ++i)
    if ((a.addr[i] & e.mask[i]) != (e.address[i] & e.mask[i])) return false;
  return true;
}

// Reads DisconnectDir from the installation settings key; false after logging.
// The server only reads the key, so it opens it for reading and never creates
// it: an account that may not write the store can run the server. A missing
// key holds no value, and is reported as the missing value.
// Only a string naming an absolute directory other than the root is taken:
// the start-up clean-up deletes files there, and an empty, relative or root
// value would aim it at whatever directory that happens to be.
bool ReadDisconnectDir(char (&dir)[1024]) {
  UniqueRegKey key;
  LONG rc = RegOpenInstallKey(KEY_READ, key.Receive());
  DWORD type = REG_NONE;
  if (rc == ERROR_SUCCESS) {
    rc = RegQueryString(key.Get(), torva::kValueDisconnectDir, dir, &type);
  } else if (rc != ERROR_FILE_NOT_FOUND) {
    LogWrite(1, "Cannot open registory. (%d)\n", static_cast<int>(rc));
    return false;
  }
  if (rc != 0) {
    LogWrite(1, "Cannot query the registry \"%s\". (%d)\n", torva::kValueDisconnectDir,
             static_cast<int>(rc));
    return false;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    LogWrite(1, "Invalid data type was defined in the registry \"%s\". (%d)\n",
             torva::kValueDisconnectDir, static_cast<int>(type));
    return false;
  }
  if (dir[0] == '\0' || PathIsRelative(dir) || PathIsRoot(dir)) {
    LogWrite(1, "Invalid directory was defined in the registry \"%s\". [%s]\n",
             torva::kValueDisconnectDir, dir);
    return false;
  }
  return true;
}

bool DisconnectFilePath(char (&path)[1100], const char* dir, const SockAddress& a) {
  return a.family == WS_AF_INET6 ? torva::DisconnectFilePath6(path, sizeof path, dir, a.addr)
                                 : torva::DisconnectFilePath(path, sizeof path, dir, a.addr);
}

void AppendDiscon(DisconEntry* e) {
  if (g_discon_tail)
    g_discon_tail->next = e;
  else
    g_discon_head = e;
  g_discon_tail = e;
}

// Creates the disconnect file of an address (empty, replacing one of the same
// name). Result 0 in every case; failures are logged.
int WriteDisconnectFile(const SockAddress& address) {
  char dir[1024];
  if (!ReadDisconnectDir(dir)) return -1;
  char path[1100];
  bool fits = DisconnectFilePath(path, dir, address);
  // Never anything but a regular file: opening a FIFO planted under the
  // name would block here, with the failure list locked.
  FILE* f = fits ? OpenRegularFile(path, "w") : nullptr;
  if (f == nullptr) {
    DWORD code = fits ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
    LogWrite(1, "Cannot create \"%s\" (%d)", path, static_cast<int>(code));
    return -1;
  }
  fclose(f);
  return 0;
}

// Appends an in-memory entry; -1 when memory runs out.
int AddDisconEntry(int family, const uint8_t (&address)[16], const uint8_t (&mask)[16]) {
  auto* e = static_cast<DisconEntry*>(calloc(1, sizeof(DisconEntry)));
  if (e == nullptr) {
    LogFailed(1, "malloc", GetLastError());
    return -1;
  }
  e->family = family;
  memcpy(e->address, address, sizeof address);
  memcpy(e->mask, mask, sizeof mask);
  AppendDiscon(e);
  return 0;
}

}  // namespace

int FailureListInit() {
  TRACE_START("FailureListInit", "FailureList");
  TRACE_END("FailureListInit", "FailureList");
  return 0;
}

int FailureListAdd(const uint8_t address[4]) { return FailureListAdd(SockAddressV4(address, 0)); }

int FailureListReset(const uint8_t address[4]) {
  return FailureListReset(SockAddressV4(address, 0));
}

int discon_check(const uint8_t address[4]) { return discon_check(SockAddressV4(address, 0)); }

int FailureListAdd(const SockAddress& address) {
  TRACE_START("FailureListAdd", "FailureList");
  if (Config().failure_limit == 0) return 0;
  std::lock_guard<std::mutex> lock(g_failures.mu);
  FailureEntry* e = FindFailure(Key(address));
  if (e != nullptr) {
    ++e->count;
  } else {
    e = static_cast<FailureEntry*>(calloc(1, sizeof(FailureEntry)));
    if (e == nullptr) {
      LogFailed(1, "malloc", GetLastError());
      LogWrite(1, "Failed to adding the FailureList.");
      return -1;
    }
    e->address = Key(address);
    e->count = 1;
    if (g_failures.tail)
      g_failures.tail->next = e;
    else
      g_failures.head = e;
    g_failures.tail = e;
  }
  char text[64];
  AddressText(address, text);
  LogWrite(4, "Failure count of %s: %d", text, e->count);
  // Reached or passed: a ban that could not be written is tried again at
  // the next failure instead of leaving the address free for good.
  if (e->count >= Config().failure_limit && !e->banned) {
    int rc = discon_add(text, 1);
    if (rc == 0) {
      AccessLogWrite("Added to the disconnect list: %s", text);
      e->banned = 1;
    }
    LogWrite(3, "Return value of discon_add=%d", rc);
  }
  TRACE_END("FailureListAdd", "FailureList");
  return 0;
}

int FailureListReset(const SockAddress& address) {
  TRACE_START("FailureListReset", "FailureList");
  if (Config().failure_limit == 0) return 0;
  std::lock_guard<std::mutex> lock(g_failures.mu);
  char text[64];
  AddressText(address, text);
  if (FailureEntry* e = FindFailure(Key(address))) {
    e->count = 0;
    LogWrite(4, "Failure count of %s: %d", text, 0);
  } else {
    LogWrite(4, "Not exist the %s in failure list.", text);
  }
  TRACE_END("FailureListReset", "FailureList");
  return 0;
}

int discon_add(const char* text, int to_file) {
  char copy[1024];
  torva::CopyTruncated(copy, text);
  char work[1024];
  torva::CopyTruncated(work, text);

  // IPv6: an address with ':' and an optional prefix length.
  if (strchr(work, ':') != nullptr) {
    uint8_t address6[16];
    uint8_t mask6[16];
    if (!ParseDiscon6(work, address6, mask6)) {
      LogWrite(2, "disconnect format error. (%s)", copy);
      return 0;
    }
    SockAddress a;
    memset(&a, 0, sizeof a);
    a.family = WS_AF_INET6;
    memcpy(a.addr, address6, sizeof address6);
    return to_file ? WriteDisconnectFile(a) : AddDisconEntry(WS_AF_INET6, address6, mask6);
  }
  uint8_t mask[4] = {255, 255, 255, 255};
  uint8_t address[4];
  torva::BanAddressRead r = torva::BanAddressRead::kOk;
  if (char* slash = strchr(work, '/')) {
    *slash = '\0';
    r = torva::ReadBanAddress(slash + 1, mask);
  }
  if (r == torva::BanAddressRead::kOk) r = torva::ReadBanAddress(work, address);
  if (r == torva::BanAddressRead::kFormat) {
    LogWrite(2, "disconnect format error. (%s)", copy);
    return 0;
  }
  if (r == torva::BanAddressRead::kRange) {
    // A ban that would fall on another address than the one written must
    // not be started with.
    LogWrite(-1, "disconnect=%s is out of range.", copy);
    return -1;
  }

  if (to_file) return WriteDisconnectFile(SockAddressV4(address, 0));
  uint8_t address16[16] = {};
  uint8_t mask16[16] = {};
  memcpy(address16, address, 4);
  memcpy(mask16, mask, 4);
  return AddDisconEntry(WS_AF_INET, address16, mask16);
}

int discon_check(const SockAddress& address) {
  char text[64];
  AddressText(address, text);
  for (DisconEntry* e = g_discon_head; e != nullptr; e = e->next) {
    if (Covers(*e, address)) {
      LogWrite(4, "Disconnected. (%s)", text);
      return 1;
    }
  }
  if (!g_discon_dir_known) {
    if (!ReadDisconnectDir(g_discon_dir)) return 0;
    g_discon_dir_known = true;
  }
  char path[1100];
  if (DisconnectFilePath(path, g_discon_dir, address) && IsRegularFile(path) == 1) {
    LogWrite(4, "Disconnected. (%s)", text);
    return 1;
  }
  return 0;
}

void DisconForEach(void (*visit)(const uint8_t address[4], const uint8_t mask[4])) {
  for (DisconEntry* e = g_discon_head; e != nullptr; e = e->next)
    if (e->family == WS_AF_INET) visit(e->address, e->mask);
}

void DisconForEach6(void (*visit)(const uint8_t address[16], const uint8_t mask[16])) {
  for (DisconEntry* e = g_discon_head; e != nullptr; e = e->next)
    if (e->family == WS_AF_INET6) visit(e->address, e->mask);
}

int DisconnectDirCleanup() {
  char dir[1024];
  if (!ReadDisconnectDir(dir)) return -1;
  char pattern[1100];
  if (!torva::FormatInto(pattern, "%s/%s", dir, torva::kDisconnectPattern)) return 0;
  WIN32_FIND_DATA fd;
  UniqueFind search(FindFirstFile(pattern, &fd));
  if (!search) return 0;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    // Disconnect files only: whatever else lies there is not the server's.
    if (!torva::IsDisconnectFileName(fd.cFileName)) continue;
    char path[1400];
    if (!torva::FormatInto(path, "%s/%s", dir, fd.cFileName)) continue;
    LogWrite(3, "Deletes \"%s\".", path);
    if (!DeleteFile(path)) LogWrite(2, "Failed. (%d)", static_cast<int>(GetLastError()));
  } while (FindNextFile(search.Get(), &fd));
  return 0;
}

void DisconReset() {
  for (DisconEntry* e = g_discon_head; e != nullptr;) {
    DisconEntry* next = e->next;
    free(e);
    e = next;
  }
  g_discon_head = g_discon_tail = nullptr;
  g_discon_dir_known = false;
  std::lock_guard<std::mutex> lock(g_failures.mu);
  for (FailureEntry* e = g_failures.head; e != nullptr;) {
    FailureEntry* next = e->next;
    free(e);
    e = next;
  }
  g_failures.head = g_failures.tail = nullptr;
}
