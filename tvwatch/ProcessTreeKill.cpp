#include "tvwatch/ProcessTreeKill.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "platform/system.h"
#include "tvwatch/EventReport.h"
#include "tvwatch/WatchState.h"

namespace {

constexpr ULONG kFirstSize = 0x100000;

struct Record {
  DWORD pid;
  DWORD parent;
};

// The records of the list, bounded by its size; a record count of 0 when the
// list is empty. `out` null only counts.
size_t ReadRecords(const BYTE* list, size_t size, Record* out) {
  size_t n = 0;
  for (size_t off = 0; off <= size && size - off >= sizeof(SYSTEM_PROCESS_INFORMATION);) {
    SYSTEM_PROCESS_INFORMATION rec;
    memcpy(&rec, list + off, sizeof rec);
    if (out != nullptr) {
      out[n].pid = static_cast<DWORD>(reinterpret_cast<uintptr_t>(rec.UniqueProcessId));
      out[n].parent =
          static_cast<DWORD>(reinterpret_cast<uintptr_t>(rec.InheritedFromUniqueProcessId));
    }
    ++n;
    if (rec.NextEntryOffset == 0) break;
    off += rec.NextEntryOffset;
  }
  return n;
}

void KillOne(DWORD pid, void*) {
  // Never this host itself, whatever a damaged list says.
  if (pid == 0 || pid == GetCurrentProcessId()) return;
  HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (h == nullptr) {
    ApiError("OpenProcess()", GetLastError());
    return;
  }
  if (!TerminateProcess(h, 0)) ApiError("TerminateProcess()", GetLastError());
  CloseHandle(h);
}

}  // namespace

bool ProcessTreeWalk(const void* list, size_t size, DWORD root, void (*visit)(DWORD pid, void* ctx),
                     void* ctx) {
  const auto* bytes = static_cast<const BYTE*>(list);
  size_t n = ReadRecords(bytes, size, nullptr);
  if (n == 0) return true;
  struct Frame {
    DWORD pid;
    size_t next, end;  // the pid's children still to look at: by_parent[next, end)
  };
  auto* recs = static_cast<Record*>(malloc(n * sizeof(Record)));
  auto* entered = static_cast<bool*>(calloc(n, sizeof(bool)));
  auto* by_parent = static_cast<size_t*>(malloc(n * sizeof(size_t)));
  auto* stack = static_cast<Frame*>(malloc((n + 1) * sizeof(Frame)));
  bool ok = recs != nullptr && entered != nullptr && by_parent != nullptr && stack != nullptr;
  if (ok) {
    ReadRecords(bytes, size, recs);
    // The records ordered by creator, each creator's children in list order,
    // so that finding a process's children costs a search, not a pass.
    for (size_t i = 0; i < n; ++i) by_parent[i] = i;
    std::sort(by_parent, by_parent + n, [recs](size_t a, size_t b) {
      return recs[a].parent != recs[b].parent ? recs[a].parent < recs[b].parent : a < b;
    });
    auto children = [&](DWORD pid) {
      auto lo = std::lower_bound(by_parent, by_parent + n, pid,
                                 [recs](size_t i, DWORD p) { return recs[i].parent < p; });
      auto hi = std::upper_bound(lo, by_parent + n, pid,
                                 [recs](DWORD p, size_t i) { return p < recs[i].parent; });
      return Frame{pid, static_cast<size_t>(lo - by_parent), static_cast<size_t>(hi - by_parent)};
    };
    bool found = false;
    for (size_t i = 0; i < n; ++i) {
      if (recs[i].pid == root) {
        entered[i] = true;
        found = true;
      }
    }
    // Depth first, without recursion: a deep chain of processes needs no
    // stack, and a record is entered once, so a cycle cannot go round.
    size_t depth = 0;
    if (found) stack[depth++] = children(root);
    while (depth > 0) {
      Frame& top = stack[depth - 1];
      while (top.next < top.end && entered[by_parent[top.next]]) ++top.next;
      if (top.next < top.end) {
        size_t i = by_parent[top.next++];
        entered[i] = true;
        stack[depth++] = children(recs[i].pid);
      } else {
        visit(top.pid, ctx);
        --depth;
      }
    }
  }
  free(recs);
  free(entered);
  free(by_parent);
  free(stack);
  return ok;
}

void ProcessTreeKill(DWORD pid) {
  ULONG size = kFirstSize;
  void* list = malloc(size);
  if (list == nullptr) {
    ApiError("malloc()", ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  ULONG needed = 0;
  if (g_watch.query_system_information(SystemProcessInformation, list, size, &needed) !=
      STATUS_SUCCESS) {
    free(list);
    size = needed;
    list = size != 0 ? malloc(size) : nullptr;
    if (list == nullptr) {
      ApiError("malloc()", ERROR_NOT_ENOUGH_MEMORY);
      return;
    }
    if (g_watch.query_system_information(SystemProcessInformation, list, size, &needed) !=
        STATUS_SUCCESS) {
      ApiError("ZwQuerySystemInformation()", GetLastError());
      free(list);
      return;
    }
  }
  if (!ProcessTreeWalk(list, size, pid, KillOne, nullptr))
    ApiError("malloc()", ERROR_NOT_ENOUGH_MEMORY);
  free(list);
}
