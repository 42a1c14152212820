// Processes, pipes, the process list, events and waits.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/module.h"
#include "platform/system.h"

namespace {

// A child with its three standard streams on pipes, as the service host
// starts its server.
struct Child {
  HANDLE in_w = nullptr, out_r = nullptr, err_r = nullptr;
  HANDLE in_r = nullptr, out_w = nullptr, err_w = nullptr;  // the child's ends
  PROCESS_INFORMATION pi{};

  bool Start(const char* app, const char* command_line) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    if (!CreatePipe(&in_r, &in_w, &sa, 1024) || !CreatePipe(&out_r, &out_w, &sa, 1024) ||
        !CreatePipe(&err_r, &err_w, &sa, 1024))
      return false;
    STARTUPINFO si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_r;
    si.hStdOutput = out_w;
    si.hStdError = err_w;
    std::string cl = command_line;
    return CreateProcess(app, cl.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  }
  // Everything the pipe holds once `n` bytes have come (bounded wait).
  static std::string ReadN(HANDLE pipe, size_t n) {
    std::string got;
    for (int i = 0; i < 500 && got.size() < n; ++i) {
      DWORD avail = 0;
      if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr)) break;
      if (avail == 0) {
        Sleep(10);
        continue;
      }
      char buf[256];
      DWORD r = 0;
      if (!ReadFile(pipe, buf, avail < sizeof buf ? avail : sizeof buf, &r, nullptr)) break;
      got.append(buf, r);
    }
    return got;
  }
  DWORD WaitExit() {
    DWORD code = STILL_ACTIVE;
    for (int i = 0; i < 500 && GetExitCodeProcess(pi.hProcess, &code) && code == STILL_ACTIVE; ++i)
      Sleep(10);
    return code;
  }
  ~Child() {
    DWORD code = 0;
    if (pi.hProcess && GetExitCodeProcess(pi.hProcess, &code) && code == STILL_ACTIVE) {
      TerminateProcess(pi.hProcess, 0);
      WaitExit();
    }
    for (HANDLE h : {in_w, out_r, err_r, in_r, out_w, err_w, pi.hProcess, pi.hThread})
      if (h) CloseHandle(h);
  }
};

TEST(ProcessTest, ChildStreamsGoThroughThePipesAndItsExitCodeFollows) {
  Child c;
  // The script waits for its standard input to close before it ends.
  ASSERT_TRUE(
      c.Start("/bin/sh", "sh -c \"printf out; printf error >&2; read line; exit 3\" \"a b\""));
  EXPECT_EQ(Child::ReadN(c.out_r, 3), "out");
  EXPECT_EQ(Child::ReadN(c.err_r, 5), "error");
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(c.pi.hProcess, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(STILL_ACTIVE, 259u);
  CloseHandle(c.in_w);
  c.in_w = nullptr;
  EXPECT_EQ(c.WaitExit(), 3u);
  // Drained, with our copy of the write end still open: empty, not broken.
  DWORD avail = 99;
  EXPECT_TRUE(PeekNamedPipe(c.out_r, nullptr, 1024, nullptr, &avail, nullptr));
  EXPECT_EQ(avail, 0u);
  CloseHandle(c.out_w);
  c.out_w = nullptr;
  EXPECT_FALSE(PeekNamedPipe(c.out_r, nullptr, 1024, nullptr, &avail, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
  char buf[4];
  DWORD got = 9;
  EXPECT_FALSE(ReadFile(c.out_r, buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
}

TEST(ProcessTest, CommandLineSplitsAsTheWindowsRuntimeDoes) {
  Child c;
  ASSERT_TRUE(c.Start(nullptr,
                      "sh -c \"printf '[%s]' \\\"$0\\\" \\\"$1\\\" \\\"$2\\\"\" \"a b\" "
                      "q\\\"uote back\\\\slash"));
  EXPECT_EQ(Child::ReadN(c.out_r, 25), "[a b][q\"uote][back\\\\slash]");
  EXPECT_EQ(c.WaitExit(), 0u);
}

TEST(ProcessTest, TerminateGivesItsCodeAndFailsOnceEnded) {
  Child c;
  ASSERT_TRUE(c.Start("/bin/sleep", "sleep 30"));
  ASSERT_TRUE(TerminateProcess(c.pi.hProcess, 7));
  EXPECT_EQ(c.WaitExit(), 7u);
  EXPECT_FALSE(TerminateProcess(c.pi.hProcess, 7));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(ProcessTest, ErrorNumbersOfFailedStartsAndOpens) {
  Child c;
  EXPECT_FALSE(c.Start("/nonexistent/torvad", "torvad"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenProcess(PROCESS_TERMINATE, FALSE, 0x7FFFFFF0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(PeekNamedPipe(INVALID_HANDLE_VALUE, nullptr, 0, nullptr, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// The process list, reached as the service host reaches it.
TEST(ProcessTest, ProcessListHoldsEveryProcessWithItsCreator) {
  HMODULE ntdll = LoadLibrary("ntdll.dll");
  ASSERT_NE(ntdll, nullptr);
  auto query = reinterpret_cast<PZW_QUERY_SYSTEM_INFORMATION>(
      GetProcAddress(ntdll, "ZwQuerySystemInformation"));
  ASSERT_NE(query, nullptr);
  EXPECT_EQ(GetProcAddress(ntdll, "NoSuchRoutine"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  Child c;
  ASSERT_TRUE(c.Start("/bin/sleep", "sleep 30"));

  char small[16];
  ULONG needed = 0;
  EXPECT_EQ(query(SystemProcessInformation, small, sizeof small, &needed),
            STATUS_INFO_LENGTH_MISMATCH);
  ASSERT_GT(needed, sizeof(SYSTEM_PROCESS_INFORMATION));
  std::string buf(needed, '\0');
  ASSERT_EQ(query(SystemProcessInformation, buf.data(), needed, &needed), STATUS_SUCCESS);
  bool self = false, child = false;
  size_t off = 0, records = 0;
  for (;;) {
    ASSERT_LE(off + sizeof(SYSTEM_PROCESS_INFORMATION), buf.size());
    auto* rec = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buf.data() + off);
    auto pid = reinterpret_cast<uintptr_t>(rec->UniqueProcessId);
    auto parent = reinterpret_cast<uintptr_t>(rec->InheritedFromUniqueProcessId);
    if (pid == static_cast<uintptr_t>(getpid())) self = parent == static_cast<uintptr_t>(getppid());
    if (pid == c.pi.dwProcessId) child = parent == static_cast<uintptr_t>(getpid());
    ++records;
    if (rec->NextEntryOffset == 0) break;
    off += rec->NextEntryOffset;
  }
  EXPECT_TRUE(self);
  EXPECT_TRUE(child);
  EXPECT_GT(records, 2u);
  EXPECT_EQ(query(99, buf.data(), needed, &needed), STATUS_INVALID_INFO_CLASS);
  FreeLibrary(ntdll);
}

DWORD Quick(void* arg) {
  static_cast<void>(arg);
  Sleep(50);
  return 0;
}

DWORD DuplicateSelf(void* out) {
  HANDLE h = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  static_cast<std::atomic<HANDLE>*>(out)->store(h);
  Sleep(50);
  return 0;
}

TEST(EventTest, ManualAndAutomaticEventsAndTheirWaits) {
  HANDLE manual = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  HANDLE automatic = CreateEvent(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(manual, nullptr);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(manual));
  EXPECT_EQ(WaitForMultipleObjects(1, &manual, FALSE, 100), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0) << "manual reset stays signalled";
  ASSERT_TRUE(SetEvent(automatic));
  HANDLE both[2] = {automatic, manual};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), WAIT_TIMEOUT) << "automatic reset released one";
  ResetEvent(manual);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 30), WAIT_TIMEOUT);
  CloseHandle(automatic);
  // A handler that signals an event its owner has closed must not crash.
  CloseHandle(manual);
  EXPECT_FALSE(SetEvent(manual));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(CreateEvent(nullptr, TRUE, FALSE, "named"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(EventTest, ThreadHandlesSignalWhenTheThreadEnds) {
  HANDLE t = CreateThread(nullptr, 0, Quick, nullptr, 0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
  CloseHandle(t);
  // The real handle a thread makes of its own pseudo-handle.
  std::atomic<HANDLE> self{nullptr};
  HANDLE creator = CreateThread(nullptr, 0, DuplicateSelf, &self, 0, nullptr);
  ASSERT_NE(creator, nullptr);
  for (int i = 0; i < 500 && self == nullptr; ++i) Sleep(2);
  ASSERT_NE(self.load(), nullptr);
  EXPECT_EQ(WaitForSingleObject(self.load(), 5000), WAIT_OBJECT_0);
  CloseHandle(self.load());
  CloseHandle(creator);
}

}  // namespace
