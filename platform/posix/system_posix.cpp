#include "platform/system.h"

#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/posix/handle_posix.h"

namespace {

// Waitable objects (events and threads) change state under one lock and wake
// every waiter through one condition variable; a waiter re-checks its own
// objects. The set of live objects lets SetEvent and the waits refuse a handle
// that has been closed instead of touching freed memory.
// Never destroyed: a detached thread may end while the process exits, after
// the static destructors have run, and it still takes the lock to leave.
std::mutex& g_wait_mu = *new std::mutex;
std::condition_variable& g_wait_cv = *new std::condition_variable;
std::unordered_set<const HandleObject*>& g_live = *new std::unordered_set<const HandleObject*>;

struct WaitObject : HandleObject {
  WaitObject() {
    std::lock_guard<std::mutex> lock(g_wait_mu);
    g_live.insert(this);
  }
  ~WaitObject() override {
    std::lock_guard<std::mutex> lock(g_wait_mu);
    g_live.erase(this);
  }
  bool Waitable() const override { return true; }
  // Both called with g_wait_mu held.
  virtual bool Signalled() const = 0;
  virtual void Acquire() {}
};

// The live waitable object behind a handle, or null. Call with g_wait_mu held.
WaitObject* LiveWaitObject(HANDLE handle) {
  auto* h = static_cast<const HandleObject*>(handle);
  if (handle == nullptr || g_live.count(h) == 0) return nullptr;
  return static_cast<WaitObject*>(static_cast<HandleObject*>(handle));
}

// A thread behind a gate. The object is shared by every handle to it and by
// the thread itself until the thread has ended.
struct ThreadObject : WaitObject {
  LPTHREAD_START_ROUTINE start = nullptr;
  void* arg = nullptr;
  std::mutex mu;
  std::condition_variable cv;
  DWORD tid = 0;
  bool tid_known = false;
  bool open = false;      // gate opened by ResumeThread
  bool cancel = false;    // ended before it ran
  bool finished = false;  // guarded by g_wait_mu
  std::atomic<int> refs{2};

  void Release() {
    if (refs.fetch_sub(1) == 1) delete this;
  }
  BOOL Close() override {
    Release();
    return TRUE;
  }
  HandleObject* Duplicate() override {
    refs.fetch_add(1);
    return this;
  }
  bool Signalled() const override { return finished; }
};

// The calling thread's own object: set for threads of CreateThread, made on
// first use for any other thread. Its destructor runs when the thread ends.
struct SelfThread {
  ThreadObject* obj = nullptr;
  ~SelfThread() {
    if (obj == nullptr) return;
    {
      std::lock_guard<std::mutex> lock(g_wait_mu);
      obj->finished = true;
    }
    g_wait_cv.notify_all();
    obj->Release();
  }
};
thread_local SelfThread t_self;

void* ThreadMain(void* p) {
  auto* t = static_cast<ThreadObject*>(p);
  t_self.obj = t;  // the thread's reference, dropped when it ends
  bool run;
  {
    std::unique_lock<std::mutex> lock(t->mu);
    t->tid = static_cast<DWORD>(gettid());
    t->tid_known = true;
    t->cv.notify_all();
    t->cv.wait(lock, [t] { return t->open || t->cancel; });
    run = !t->cancel;
  }
  if (run) t->start(t->arg);
  return nullptr;
}

struct EventObject : WaitObject {
  bool manual = false;
  bool signalled = false;  // guarded by g_wait_mu
  std::atomic<int> refs{1};
  BOOL Close() override {
    if (refs.fetch_sub(1) == 1) delete this;
    return TRUE;
  }
  HandleObject* Duplicate() override {
    refs.fetch_add(1);
    return this;
  }
  bool Signalled() const override { return signalled; }
  void Acquire() override {
    if (!manual) signalled = false;
  }
};

// Values of the pseudo-handles, as Windows gives them.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

struct ConsoleState {
  std::mutex mu;
  std::vector<PHANDLER_ROUTINE> handlers;
  bool thread_started = false;
};
ConsoleState g_console;

DWORD SignalToEvent(int sig) {
  switch (sig) {
    case SIGINT: return CTRL_C_EVENT;
    case SIGQUIT: return CTRL_BREAK_EVENT;
    case SIGHUP: return CTRL_CLOSE_EVENT;
    default: return CTRL_SHUTDOWN_EVENT;
  }
}

void ConsoleSignalSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGTERM);
}

void* ConsoleThread(void*) {
  sigset_t set;
  ConsoleSignalSet(&set);
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    DWORD event = SignalToEvent(sig);
    std::vector<PHANDLER_ROUTINE> copy;
    {
      std::lock_guard<std::mutex> lock(g_console.mu);
      copy = g_console.handlers;
    }
    bool handled = false;
    for (auto it = copy.rbegin(); it != copy.rend() && !handled; ++it) handled = (*it)(event) != 0;
    if (!handled) ExitProcess(event == CTRL_C_EVENT ? 0xC000013A : 1);
  }
  return nullptr;
}

struct Territory {
  const char* code;
  const char* name;
};
constexpr Territory kTerritories[] = {
    {"JP", "Japan"},          {"US", "United States"},
    {"GB", "United Kingdom"}, {"DE", "Germany"},
    {"FR", "France"},         {"IT", "Italy"},
    {"ES", "Spain"},          {"CN", "People's Republic of China"},
    {"TW", "Taiwan"},         {"KR", "Korea"},
    {"CA", "Canada"},         {"AU", "Australia"},
    {"NL", "Netherlands"},    {"BR", "Brazil"},
    {"IN", "India"},          {"RU", "Russia"},
    {"CH", "Switzerland"},    {"AT", "Austria"},
    {"SE", "Sweden"},         {"NO", "Norway"},
    {"DK", "Denmark"},        {"FI", "Finland"},
    {"IE", "Ireland"},        {"NZ", "New Zealand"},
    {"MX", "Mexico"},         {"PL", "Poland"},
    {"PT", "Portugal"},       {"BE", "Belgium"},
    {"SG", "Singapore"},      {"HK", "Hong Kong S.A.R."},
};

}  // namespace

HANDLE CreateThread(const void*, size_t stack_size, LPTHREAD_START_ROUTINE start, void* arg,
                    DWORD flags, DWORD* thread_id) {
  auto* t = new ThreadObject;
  t->start = start;
  t->arg = arg;
  t->open = (flags & CREATE_SUSPENDED) == 0;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (stack_size != 0) pthread_attr_setstacksize(&attr, stack_size);
  pthread_t th;
  int rc = pthread_create(&th, &attr, ThreadMain, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete t;
    SetLastError(rc == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ErrnoToWin32(rc));
    return nullptr;
  }
  {
    std::unique_lock<std::mutex> lock(t->mu);
    t->cv.wait(lock, [t] { return t->tid_known; });
    if (thread_id) *thread_id = t->tid;
  }
  return t;
}

namespace {
std::atomic<int> g_resume_failures{0};
std::atomic<DWORD> g_resume_error{0};
}  // namespace

void FailNextResumeThread(int count, DWORD error) {
  g_resume_error.store(error);
  g_resume_failures.store(count);
}

DWORD ResumeThread(HANDLE thread) {
  for (int n = g_resume_failures.load(); n > 0;) {
    if (g_resume_failures.compare_exchange_weak(n, n - 1)) {
      SetLastError(g_resume_error.load());
      return static_cast<DWORD>(-1);
    }
  }
  auto* t = static_cast<ThreadObject*>(static_cast<HandleObject*>(thread));
  std::lock_guard<std::mutex> lock(t->mu);
  if (t->open || t->cancel) return 0;
  t->open = true;
  t->cv.notify_all();
  return 1;
}

BOOL TerminateThread(HANDLE thread, DWORD) {
  auto* t = static_cast<ThreadObject*>(static_cast<HandleObject*>(thread));
  std::lock_guard<std::mutex> lock(t->mu);
  if (!t->open) {
    t->cancel = true;
    t->cv.notify_all();
  }
  return TRUE;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(gettid()); }

HANDLE GetCurrentProcess() { return kCurrentProcess; }
HANDLE GetCurrentThread() { return kCurrentThread; }

BOOL DuplicateHandle(HANDLE source_process, HANDLE source, HANDLE target_process, HANDLE* target,
                     DWORD, BOOL inherit, DWORD options) {
  if (source_process != kCurrentProcess || target_process != kCurrentProcess || target == nullptr ||
      source == nullptr || source == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  HandleObject* copy;
  if (source == kCurrentThread) {
    if (t_self.obj == nullptr) {
      // A thread that this layer did not start gets its object now; the
      // thread itself holds one reference until it ends.
      auto* t = new ThreadObject;
      t->refs = 1;
      t->open = true;
      t->tid = static_cast<DWORD>(gettid());
      t->tid_known = true;
      t_self.obj = t;
    }
    copy = t_self.obj->Duplicate();
  } else {
    auto* h = static_cast<HandleObject*>(source);
    copy = h->Duplicate();
    if (copy != nullptr && (options & DUPLICATE_CLOSE_SOURCE)) h->Close();
  }
  if (copy == nullptr) return FALSE;
  copy->inheritable = inherit != FALSE;
  *target = copy;
  return TRUE;
}

HANDLE CreateEvent(const SECURITY_ATTRIBUTES* security, BOOL manual_reset, BOOL initial_state,
                   const char* name) {
  if (name != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  auto* e = new EventObject;
  e->manual = manual_reset != FALSE;
  e->inheritable = security != nullptr && security->bInheritHandle;
  std::lock_guard<std::mutex> lock(g_wait_mu);
  e->signalled = initial_state != FALSE;
  return e;
}

namespace {

BOOL SetEventState(HANDLE event, bool state) {
  {
    std::lock_guard<std::mutex> lock(g_wait_mu);
    auto* e = dynamic_cast<EventObject*>(LiveWaitObject(event));
    if (e == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    e->signalled = state;
  }
  if (state) g_wait_cv.notify_all();
  return TRUE;
}

}  // namespace

BOOL SetEvent(HANDLE event) { return SetEventState(event, true); }
BOOL ResetEvent(HANDLE event) { return SetEventState(event, false); }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all,
                             DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock<std::mutex> lock(g_wait_mu);
  bool timed_out = false;
  for (;;) {
    WaitObject* objs[MAXIMUM_WAIT_OBJECTS];
    DWORD ready = 0;
    DWORD first = count;
    for (DWORD i = 0; i < count; ++i) {
      objs[i] = LiveWaitObject(handles[i]);
      if (objs[i] == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      if (objs[i]->Signalled()) {
        ++ready;
        if (first == count) first = i;
      }
    }
    if (wait_all ? ready == count : ready > 0) {
      if (wait_all) {
        for (DWORD i = 0; i < count; ++i) objs[i]->Acquire();
        return WAIT_OBJECT_0;
      }
      objs[first]->Acquire();
      return WAIT_OBJECT_0 + first;
    }
    if (timed_out) return WAIT_TIMEOUT;
    if (milliseconds == INFINITE)
      g_wait_cv.wait(lock);  // NOLINT(bugprone-spuriously-wake-up-functions): the loop re-checks
    else
      timed_out = g_wait_cv.wait_until(lock, deadline) == std::cv_status::timeout;
  }
}

DWORD ExpandEnvironmentStrings(const char* src, char* dst, DWORD size) {
  std::string out;
  for (const char* p = src; *p != '\0';) {
    const char* end = *p == '%' ? strchr(p + 1, '%') : nullptr;
    if (end != nullptr && end > p + 1) {
      std::string name(p + 1, end);
      const char* value = getenv(name.c_str());
      if (value != nullptr) {
        out += value;
        p = end + 1;
        continue;
      }
    }
    out += *p++;
  }
  DWORD need = static_cast<DWORD>(out.size() + 1);
  if (dst != nullptr && need <= size) memcpy(dst, out.c_str(), need);
  return need;
}
DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

void Sleep(DWORD milliseconds) {
  struct timespec ts;
  ts.tv_sec = milliseconds / 1000;
  ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  std::lock_guard<std::mutex> lock(g_console.mu);
  if (!g_console.thread_started) {
    // Every thread created from here on inherits the blocked set, so the
    // signals reach only the console thread's sigwait.
    sigset_t set;
    ConsoleSignalSet(&set);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
      SetLastError(ERROR_INVALID_FUNCTION);
      return FALSE;
    }
    pthread_t th;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int rc = pthread_create(&th, &attr, ConsoleThread, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      SetLastError(ErrnoToWin32(rc));
      return FALSE;
    }
    g_console.thread_started = true;
  }
  if (handler == nullptr) return TRUE;
  if (add) {
    g_console.handlers.push_back(handler);
  } else {
    for (auto it = g_console.handlers.rbegin(); it != g_console.handlers.rend(); ++it) {
      if (*it == handler) {
        g_console.handlers.erase(std::next(it).base());
        break;
      }
    }
  }
  return TRUE;
}

void ExitProcess(UINT exit_code) {
  fflush(stdout);
  fflush(stderr);
  _exit(static_cast<int>(exit_code));
}

BOOL GetVersionEx(OSVERSIONINFO* info) {
  if (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFO) &&
      info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct utsname u;
  if (uname(&u) != 0) {
    SetLastError(ErrnoToWin32(errno));
    return FALSE;
  }
  unsigned major = 0, minor = 0, build = 0;
  sscanf(u.release, "%u.%u.%u", &major, &minor, &build);
  info->dwMajorVersion = major;
  info->dwMinorVersion = minor;
  info->dwBuildNumber = build;
  info->dwPlatformId = 2;
  snprintf(info->szCSDVersion, sizeof info->szCSDVersion, "%s", u.version);
  return TRUE;
}

int GetLocaleInfo(LCID, LCTYPE type, char* data, int size) {
  if (type != LOCALE_SENGCOUNTRY || data == nullptr || size <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* loc = nullptr;
  for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* v = getenv(var);
    if (v != nullptr && *v != '\0') {
      loc = v;
      break;
    }
  }
  // "ja_JP.UTF-8": the territory follows the '_'.
  const char* us = loc ? strchr(loc, '_') : nullptr;
  if (us == nullptr || strlen(us) < 3) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  char code[3] = {us[1], us[2], '\0'};
  for (const auto& t : kTerritories) {
    if (strcmp(t.code, code) == 0) {
      int n = snprintf(data, static_cast<size_t>(size), "%s", t.name);
      if (n < 0 || n >= size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
      }
      return n + 1;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

DWORD RunAsAccount(const char* account) {
  struct passwd entry;
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  int rc;
  while ((rc = getpwnam_r(account, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (rc != 0) return ErrnoToWin32(rc);
  if (found == nullptr) return ERROR_NONE_MAPPED;
  const uid_t uid = entry.pw_uid;
  const gid_t gid = entry.pw_gid;
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (getresuid(&ruid, &euid, &suid) == 0 && getresgid(&rgid, &egid, &sgid) == 0 && ruid == uid &&
      euid == uid && suid == uid && rgid == gid && egid == gid && sgid == gid && uid != 0)
    return ERROR_SUCCESS;  // nothing left to give up
  // The order matters: the group list and the group can only be changed
  // while the process still has the privilege that the last step drops.
  // glibc applies each change to every thread of the process.
  if (initgroups(entry.pw_name, gid) != 0) return ErrnoToWin32(errno);
  if (setresgid(gid, gid, gid) != 0) return ErrnoToWin32(errno);
  if (setresuid(uid, uid, uid) != 0) return ErrnoToWin32(errno);
  // Proof that the switch holds: an unprivileged account cannot come back.
  if (uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) return ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}
