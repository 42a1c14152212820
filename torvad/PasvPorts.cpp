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
  int low, high;
  if (char* dash = strchr(text, '-')) {
    *dash = '\0';
    low = torva::AtoiLike(TrimString(text));
    high = torva::AtoiLike(TrimString(dash + 1));
    if (high < low) {
      int t = low;
      low = high;
      high = t;
    }
  } else {
    low = high = torva::AtoiLike(text);
  }
  // Ports live in 0..65535; a range written past that would otherwise ask
  // for billions of ring entries.
  if (low < 0) low = 0;
  if (high > 65535) high = 65535;
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
