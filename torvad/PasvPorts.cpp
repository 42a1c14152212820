#include "torvad/PasvPorts.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "common/strutil.h"
#include "platform/system.h"
#include "torvad/ConfigTbl.h"
#include "torvad/Log.h"
#include "torvad/SharedState.h"
#include "torvad/TrimString.h"

namespace {

constexpr int kMaxPasvPorts = 65536;

struct PasvNode {
  uint16_t port;  // network byte order
  PasvNode* next;
};

// Shared state: see torvad/SharedState.h for what the lock guards and its order.
struct PasvRing {
  std::mutex mu;
  PasvNode* head = nullptr;
  PasvNode* tail = nullptr;
  PasvNode* cursor = nullptr;
};
PasvRing g_pasv;

uint16_t ToNet(unsigned v) { return static_cast<uint16_t>(((v & 0xFF) << 8) | ((v >> 8) & 0xFF)); }

bool PasvAppend(uint16_t port_net) {
  auto* n = static_cast<PasvNode*>(calloc(1, sizeof(PasvNode)));
  if (n == nullptr) {
    LogFailed(1, "malloc", GetLastError());
    return false;
  }
  n->port = port_net;
  if (g_pasv.tail)
    g_pasv.tail->next = n;
  else
    g_pasv.head = n;
  g_pasv.tail = n;
  ++g_config->pasv_port_count;
  return true;
}

}  // namespace

int PasvPortAdd(const char* value) {
  char text[1024];
  torva::CopyTruncated(text, value);
  int low = 0, high = 0;
  bool in_range;
  if (char* dash = strchr(text, '-')) {
    *dash = '\0';
    in_range = torva::AtoiInRange(TrimString(text), 0, 65535, &low) &&
               torva::AtoiInRange(TrimString(dash + 1), 0, 65535, &high);
    if (high < low) {
      int t = low;
      low = high;
      high = t;
    }
  } else {
    in_range = torva::AtoiInRange(text, 0, 65535, &low);
    high = low;
  }
  if (!in_range) {
    // Ports live in 0..65535; anything else names no port of this machine,
    // and taken modulo 65536 it would name another one.
    LogWrite(1, "pasv-port=%s is out of range.", value);
    return -1;
  }
  // A ring of more entries than there are ports holds nothing but repeats;
  // lines of whole ranges would otherwise ask for millions of entries.
  if (high - low + 1 > kMaxPasvPorts - g_config->pasv_port_count) {
    LogWrite(1, "pasv-port=%s: more than %d ports in all.", value, kMaxPasvPorts);
    return -1;
  }
  for (int p = low; p <= high; ++p)
    if (!PasvAppend(ToNet(static_cast<unsigned>(p)))) return -1;
  return 0;
}

int PasvPortRing() {
  std::lock_guard<std::mutex> lock(g_pasv.mu);
  if (g_pasv.head == nullptr) {
    g_config->pasv_port_count = 0;
    if (!PasvAppend(0)) return -1;
  }
  g_pasv.tail->next = g_pasv.head;
  g_pasv.cursor = g_pasv.head;
  return 0;
}

uint16_t PasvPortNext() {
  std::lock_guard<std::mutex> lock(g_pasv.mu);
  if (g_pasv.cursor == nullptr) return 0;
  uint16_t port = g_pasv.cursor->port;
  g_pasv.cursor = g_pasv.cursor->next;
  return port;
}

void PasvPortReset() {
  std::lock_guard<std::mutex> lock(g_pasv.mu);
  if (g_pasv.tail) g_pasv.tail->next = nullptr;
  for (PasvNode* n = g_pasv.head; n != nullptr;) {
    PasvNode* next = n->next;
    free(n);
    n = next;
  }
  g_pasv.head = g_pasv.tail = g_pasv.cursor = nullptr;
}
