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
  uint8_t address[4];
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
  uint8_t address[4];
  uint8_t mask[4];
  DisconEntry* next;
};

// Written while the configuration is read, then only read by the main thread.
DisconEntry* g_discon_head = nullptr;
DisconEntry* g_discon_tail = nullptr;
// Disconnect directory as read by the first discon_check that needed it.
char g_discon_dir[1024];
bool g_discon_dir_known = false;

FailureEntry* FindFailure(const uint8_t a[4]) {
  for (FailureEntry* e = g_failures.head; e != nullptr; e = e->next)
    if (memcmp(e->address, a, 4) == 0) return e;
  return nullptr;
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

bool DisconnectFilePath(char (&path)[1100], const char* dir, const uint8_t a[4]) {
  return torva::DisconnectFilePath(path, sizeof path, dir, a);
}

}  // namespace

int FailureListInit() {
  TRACE_START("FailureListInit", "FailureList");
  TRACE_END("FailureListInit", "FailureList");
  return 0;
}

int FailureListAdd(const uint8_t address[4]) {
  TRACE_START("FailureListAdd", "FailureList");
  if (Config().failure_limit == 0) return 0;
  std::lock_guard<std::mutex> lock(g_failures.mu);
  FailureEntry* e = FindFailure(address);
  if (e != nullptr) {
    ++e->count;
  } else {
    e = static_cast<FailureEntry*>(calloc(1, sizeof(FailureEntry)));
    if (e == nullptr) {
      LogFailed(1, "malloc", GetLastError());
      LogWrite(1, "Failed to adding the FailureList.");
      return -1;
    }
    memcpy(e->address, address, 4);
    e->count = 1;
    if (g_failures.tail)
      g_failures.tail->next = e;
    else
      g_failures.head = e;
    g_failures.tail = e;
  }
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
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

int FailureListReset(const uint8_t address[4]) {
  TRACE_START("FailureListReset", "FailureList");
  if (Config().failure_limit == 0) return 0;
  std::lock_guard<std::mutex> lock(g_failures.mu);
  char text[32];
  snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
  if (FailureEntry* e = FindFailure(address)) {
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

  if (to_file) {
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

  auto* e = static_cast<DisconEntry*>(calloc(1, sizeof(DisconEntry)));
  if (e == nullptr) {
    LogFailed(1, "malloc", GetLastError());
    return -1;
  }
  memcpy(e->address, address, 4);
  memcpy(e->mask, mask, 4);
  if (g_discon_tail)
    g_discon_tail->next = e;
  else
    g_discon_head = e;
  g_discon_tail = e;
  return 0;
}

int discon_check(const uint8_t address[4]) {
  for (DisconEntry* e = g_discon_head; e != nullptr; e = e->next) {
    bool match = true;
    for (int i = 0; i < 4; ++i)
      match = match && (address[i] & e->mask[i]) == (e->address[i] & e->mask[i]);
    if (match) {
      LogWrite(4, "Disconnected. (%d.%d.%d.%d)", address[0], address[1], address[2], address[3]);
      return 1;
    }
  }
  if (!g_discon_dir_known) {
    if (!ReadDisconnectDir(g_discon_dir)) return 0;
    g_discon_dir_known = true;
  }
  char path[1100];
  if (DisconnectFilePath(path, g_discon_dir, address) && IsRegularFile(path) == 1) {
    LogWrite(4, "Disconnected. (%d.%d.%d.%d)", address[0], address[1], address[2], address[3]);
    return 1;
  }
  return 0;
}

void DisconForEach(void (*visit)(const uint8_t address[4], const uint8_t mask[4])) {
  for (DisconEntry* e = g_discon_head; e != nullptr; e = e->next) visit(e->address, e->mask);
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
