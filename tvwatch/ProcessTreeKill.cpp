#include "tvwatch/ProcessTreeKill.h"

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
    size_t next;  // the first record not yet looked at as a child of pid
  };
  auto* recs = static_cast<Record*>(malloc(n * sizeof(Record)));
  auto* entered = static_cast<bool*>(calloc(n, sizeof(bool)));
  auto* stack = static_cast<Frame*>(malloc((n + 1) * sizeof(Frame)));
  if (recs == nullptr || entered == nullptr || stack == nullptr) {
    free(recs);
    free(entered);
    free(stack);
    return false;
  }
  ReadRecords(bytes, size, recs);
  bool found = false;
  for (size_t i = 0; i < n; ++i) {
    if (recs[i].pid == root) {
      entered[i] = true;
      found = true;
    }
  }
  if (found) {
    // Depth first, without recursion: a deep chain of processes needs no stack.
    size_t depth = 0;
    stack[depth++] = Frame{root, 0};
    while (depth > 0) {
      Frame& top = stack[depth - 1];
      size_t i = top.next;
      while (i < n && (entered[i] || recs[i].parent != top.pid)) ++i;
      if (i < n) {
        top.next = i + 1;
        entered[i] = true;
        stack[depth++] = Frame{recs[i].pid, 0};
      } else {
        visit(top.pid, ctx);
        --depth;
      }
    }
  }
  free(recs);
  free(entered);
  free(stack);
  return true;
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
