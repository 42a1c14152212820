#include "torvad/ConnectList.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/system.h"
#include "torvad/Log.h"
#include "torvad/SharedState.h"

namespace {

struct ConnectEntry {
  char address_text[64];
  int ended;
  SOCKET sock;
  SockAddress address;
  DWORD thread_id;
  HANDLE thread;
  ConnectEntry* next;
};

// Shared state: see torvad/SharedState.h for what the lock guards and its order.
struct ConnectList {
  std::mutex mu;
  ConnectEntry* head = nullptr;
  ConnectEntry* tail = nullptr;
  int count = 0;
  std::atomic<bool> terminating{false};
};
ConnectList g_list;

// The calling thread's live entry; caller holds the lock.
ConnectEntry* FindMine() {
  DWORD me = GetCurrentThreadId();
  for (ConnectEntry* e = g_list.head; e != nullptr; e = e->next)
    if (e->thread_id == me && !e->ended) return e;
  return nullptr;
}

}  // namespace

int ConnectListInit() {
  TRACE_START("ConnectListInit", "ConnectList");
  TRACE_END("ConnectListInit", "ConnectList");
  return 0;
}

int ConnectListCount() {
  std::lock_guard<std::mutex> lock(g_list.mu);
  return g_list.count;
}

int ConnectListAdd(SOCKET sock, DWORD thread_id, HANDLE thread, const SockAddress& address) {
  std::lock_guard<std::mutex> lock(g_list.mu);
  TRACE_START("ConnectListAdd", "ConnectList");
  auto* e = static_cast<ConnectEntry*>(calloc(1, sizeof(ConnectEntry)));
  if (e == nullptr) {
    LogFailed(1, "malloc", GetLastError());
    LogWrite(1, "Can not create the ConnectList.");
    TRACE_END("ConnectListAdd", "ConnectList");
    return -1;
  }
  ++g_list.count;
  e->sock = sock;
  e->address = address;
  e->thread_id = thread_id;
  e->thread = thread;
  e->ended = 0;
  if (address.family == WS_AF_INET)
    snprintf(e->address_text, sizeof e->address_text, "%d.%d.%d.%d", address.addr[0],
             address.addr[1], address.addr[2], address.addr[3]);
  else
    SockAddressText(address, e->address_text, sizeof e->address_text);
  LogWrite(3, "Connected from %s (ID=%X)", e->address_text, static_cast<unsigned>(thread_id));
  if (g_list.tail)
    g_list.tail->next = e;
  else
    g_list.head = e;
  g_list.tail = e;
  TRACE_END("ConnectListAdd", "ConnectList");
  return 0;
}

SOCKET ConnectListSerch() {
  std::lock_guard<std::mutex> lock(g_list.mu);
  TRACE_START("ConnectListSerch", "ConnectList");
  ConnectEntry* e = FindMine();
  TRACE_END("ConnectListSerch", "ConnectList");
  return e ? e->sock : INVALID_SOCKET;
}

const SockAddress* ConnectListSerch2() {
  std::lock_guard<std::mutex> lock(g_list.mu);
  TRACE_START("ConnectListSerch2", "ConnectList");
  ConnectEntry* e = FindMine();
  TRACE_END("ConnectListSerch2", "ConnectList");
  return e ? &e->address : nullptr;
}

void ConnectListDel() {
  std::lock_guard<std::mutex> lock(g_list.mu);
  TRACE_START("ConnectListDel", "ConnectList");
  if (ConnectEntry* e = FindMine()) e->ended = 1;
  TRACE_END("ConnectListDel", "ConnectList");
}

void ConnectListDrop(DWORD thread_id) {
  std::lock_guard<std::mutex> lock(g_list.mu);
  ConnectEntry* prev = nullptr;
  for (ConnectEntry* e = g_list.head; e != nullptr; prev = e, e = e->next) {
    if (e->thread_id != thread_id || e->ended) continue;
    if (prev)
      prev->next = e->next;
    else
      g_list.head = e->next;
    if (g_list.tail == e) g_list.tail = prev;
    CloseHandle(e->thread);
    free(e);
    --g_list.count;
    return;
  }
}

int ConnectListCountFrom(const SockAddress& address) {
  std::lock_guard<std::mutex> lock(g_list.mu);
  int n = 0;
  for (ConnectEntry* e = g_list.head; e != nullptr; e = e->next)
    if (!e->ended && SockAddressEqual(e->address, address)) ++n;
  return n;
}

void ConnectListChk() {
  std::lock_guard<std::mutex> lock(g_list.mu);
  TRACE_START("ConnectListChk", "ConnectList");
  ConnectEntry* prev = nullptr;
  for (ConnectEntry* e = g_list.head; e != nullptr;) {
    ConnectEntry* next = e->next;
    if (e->ended) {
      if (prev)
        prev->next = next;
      else
        g_list.head = next;
      if (g_list.tail == e) g_list.tail = prev;
      CloseHandle(e->thread);
      free(e);
      --g_list.count;
    } else {
      prev = e;
    }
    e = next;
  }
  TRACE_END("ConnectListChk", "ConnectList");
}

void ConnectListTerm() {
  std::lock_guard<std::mutex> lock(g_list.mu);
  TRACE_START("ConnectListTerm", "ConnectList");
  g_list.terminating.store(true);
  for (ConnectEntry* e = g_list.head; e != nullptr; e = e->next) {
    LogWrite(3, "Terminating. (%d)", static_cast<int>(e->thread_id));
    // A running thread cannot be stopped where it stands: shutting its
    // connection down releases its client at once, and the process ends right
    // after this. The entries stay allocated until then, since a woken thread
    // may still read its own.
    if (!e->ended) SockShutdown(e->sock, SD_BOTH);
    TerminateThread(e->thread, 0);
  }
  g_list.head = g_list.tail = nullptr;
  g_list.count = 0;
  TRACE_END("ConnectListTerm", "ConnectList");
}

bool ConnectListTerminating() { return g_list.terminating.load(); }
