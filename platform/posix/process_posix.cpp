#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/handle_posix.h"
#include "platform/posix/process_posix.h"

namespace {

BOOL FailWith(DWORD code) {
  SetLastError(code);
  return FALSE;
}

BOOL FailErrno() { return FailWith(ErrnoToWin32(errno)); }

struct PipeObject : HandleObject {
  int fd = -1;
  explicit PipeObject(int f) : fd(f) {}
  BOOL Close() override {
    close(fd);
    delete this;
    return TRUE;
  }
  int Fd() const override { return fd; }
  HandleObject* Duplicate() override {
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
      FailErrno();
      return nullptr;
    }
    return new PipeObject(copy);
  }
};

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

struct ProcessObject : HandleObject {
  pid_t pid = 0;
  int pidfd = -1;      // -1 where the kernel has no pidfd
  bool child = false;  // ours to reap
  bool ended = false;  // reaped, or seen ended
  DWORD code = 0;      // valid once ended
  bool terminated = false;
  DWORD term_code = 0;
  BOOL Close() override {
    if (pidfd >= 0) close(pidfd);
    delete this;
    return TRUE;
  }
};

// The thread handle of PROCESS_INFORMATION: nothing to do but close.
struct ChildThreadObject : HandleObject {
  BOOL Close() override {
    delete this;
    return TRUE;
  }
};

ProcessObject* AsProcess(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return dynamic_cast<ProcessObject*>(static_cast<HandleObject*>(h));
}

}  // namespace

// Blanks separate arguments outside double quotes; 2n backslashes before a
// quote give n backslashes and the quote delimits, 2n+1 give n and a literal
// quote; backslashes elsewhere are literal; "" inside quotes is one quote.
std::vector<std::string> SplitCommandLine(const char* p) {
  std::vector<std::string> args;
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\0') break;
    std::string arg;
    bool quoted = false;
    for (;;) {
      size_t slashes = 0;
      while (*p == '\\') {
        ++slashes;
        ++p;
      }
      if (*p == '"') {
        arg.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          arg += '"';
          ++p;
        } else if (quoted && p[1] == '"') {
          arg += '"';
          p += 2;
        } else {
          quoted = !quoted;
          ++p;
        }
        continue;
      }
      arg.append(slashes, '\\');
      if (*p == '\0' || (!quoted && (*p == ' ' || *p == '\t'))) break;
      arg += *p++;
    }
    args.push_back(arg);
  }
  return args;
}

namespace {

DWORD SpawnError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOEXEC: return ERROR_BAD_EXE_FORMAT;
    default: return ErrnoToWin32(err);
  }
}

// Spawn attributes that give the child a clean signal state.
void InitSpawn(posix_spawn_file_actions_t* fa, posix_spawnattr_t* attr, short* flags) {
  posix_spawn_file_actions_init(fa);
  posix_spawnattr_init(attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(attr, &none);
  posix_spawnattr_setsigdefault(attr, &all);
  *flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
}

// Points a standard descriptor of the child at a handle, or at /dev/null.
void StdHandle(posix_spawn_file_actions_t* fa, HANDLE h, int target, bool pass) {
  int fd = -1;
  if (pass && h != nullptr && h != INVALID_HANDLE_VALUE) {
    auto* obj = static_cast<HandleObject*>(h);
    if (obj->inheritable) fd = obj->Fd();
  }
  if (fd >= 0)
    posix_spawn_file_actions_adddup2(fa, fd, target);
  else
    posix_spawn_file_actions_addopen(fa, target, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY, 0);
}

// "NAME=value\0NAME=value\0\0" into a vector of pointers into the block.
std::vector<char*> EnvironmentBlock(void* block) {
  std::vector<char*> env;
  for (char* p = static_cast<char*>(block); *p != '\0'; p += strlen(p) + 1) env.push_back(p);
  env.push_back(nullptr);
  return env;
}

}  // namespace

void ResetSignalsForExec() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &sa, nullptr);
}

BOOL CreatePipe(HANDLE* read_pipe, HANDLE* write_pipe, const SECURITY_ATTRIBUTES* security, DWORD) {
  if (read_pipe == nullptr || write_pipe == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return FailErrno();
  bool inherit = security != nullptr && security->bInheritHandle;
  auto* r = new PipeObject(fds[0]);
  auto* w = new PipeObject(fds[1]);
  r->inheritable = w->inheritable = inherit;
  *read_pipe = r;
  *write_pipe = w;
  return TRUE;
}

BOOL PeekNamedPipe(HANDLE pipe, void* buffer, DWORD, DWORD* bytes_read, DWORD* total_available,
                   DWORD* bytes_left_this_message) {
  if (pipe == nullptr || pipe == INVALID_HANDLE_VALUE) return FailWith(ERROR_INVALID_HANDLE);
  if (buffer != nullptr) return FailWith(ERROR_NOT_SUPPORTED);
  int fd = static_cast<HandleObject*>(pipe)->Fd();
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode))
    return FailWith(ERROR_INVALID_FUNCTION);
  int avail = 0;
  if (ioctl(fd, FIONREAD, &avail) != 0) return FailErrno();
  if (avail == 0) {
    // Nothing waiting: a pipe whose writers are all gone is broken.
    struct pollfd pfd = {fd, POLLIN, 0};
    if (poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLHUP) != 0) return FailWith(ERROR_BROKEN_PIPE);
  }
  if (bytes_read) *bytes_read = 0;
  if (total_available) *total_available = static_cast<DWORD>(avail);
  if (bytes_left_this_message) *bytes_left_this_message = 0;
  return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* bytes_read, OVERLAPPED* overlapped) {
  if (bytes_read) *bytes_read = 0;
  if (overlapped != nullptr) return FailWith(ERROR_INVALID_PARAMETER);
  int fd = (file == nullptr || file == INVALID_HANDLE_VALUE)
               ? -1
               : static_cast<HandleObject*>(file)->Fd();
  if (fd < 0) return FailWith(ERROR_INVALID_HANDLE);
  ssize_t n;
  do {
    n = read(fd, buffer, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return FailErrno();
  if (n == 0 && size > 0) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) return FailWith(ERROR_BROKEN_PIPE);
  }
  if (bytes_read) *bytes_read = static_cast<DWORD>(n);
  return TRUE;
}

BOOL CreateProcess(const char* application, char* command_line, const SECURITY_ATTRIBUTES*,
                   const SECURITY_ATTRIBUTES*, BOOL inherit_handles, DWORD flags, void* environment,
                   const char* current_directory, STARTUPINFO* startup_info,
                   PROCESS_INFORMATION* process_information) {
  if (process_information == nullptr || (application == nullptr && command_line == nullptr) ||
      (flags & ~(DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW)) != 0)
    return FailWith(ERROR_INVALID_PARAMETER);
  std::vector<std::string> args = SplitCommandLine(command_line ? command_line : "");
  if (args.empty()) args.push_back(application);
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp = environment ? EnvironmentBlock(environment) : std::vector<char*>{};

  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  short sflags = 0;
  InitSpawn(&fa, &attr, &sflags);
  if (flags & DETACHED_PROCESS) sflags |= POSIX_SPAWN_SETSID;
  if (flags & CREATE_NEW_PROCESS_GROUP) {
    sflags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attr, 0);
  }
  posix_spawnattr_setflags(&attr, sflags);
  if (startup_info != nullptr && (startup_info->dwFlags & STARTF_USESTDHANDLES)) {
    bool pass = inherit_handles != FALSE;
    StdHandle(&fa, startup_info->hStdInput, 0, pass);
    StdHandle(&fa, startup_info->hStdOutput, 1, pass);
    StdHandle(&fa, startup_info->hStdError, 2, pass);
  }
  if (current_directory != nullptr) posix_spawn_file_actions_addchdir_np(&fa, current_directory);

  pid_t pid = 0;
  char** env = environment ? envp.data() : environ;
  int rc = application != nullptr ? posix_spawn(&pid, application, &fa, &attr, argv.data(), env)
                                  : posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), env);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return FailWith(SpawnError(rc));

  auto* p = new ProcessObject;
  p->pid = pid;
  p->child = true;
  p->pidfd = PidfdOpen(pid);
  if (p->pidfd >= 0) fcntl(p->pidfd, F_SETFD, FD_CLOEXEC);
  process_information->hProcess = p;
  process_information->hThread = new ChildThreadObject;
  process_information->dwProcessId = static_cast<DWORD>(pid);
  process_information->dwThreadId = static_cast<DWORD>(pid);
  return TRUE;
}

HANDLE OpenProcess(DWORD, BOOL inherit, DWORD process_id) {
  pid_t pid = static_cast<pid_t>(process_id);
  if (pid <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int fd = PidfdOpen(pid);
  if (fd < 0 && errno != ENOSYS) {
    SetLastError(errno == ESRCH ? ERROR_INVALID_PARAMETER : ErrnoToWin32(errno));
    return nullptr;
  }
  if (fd < 0 && kill(pid, 0) != 0 && errno == ESRCH) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto* p = new ProcessObject;
  p->pid = pid;
  p->pidfd = fd;
  p->inheritable = inherit != FALSE;
  return p;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exit_code) {
  ProcessObject* p = AsProcess(process);
  if (p == nullptr || exit_code == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  if (!p->ended && p->child) {
    int st = 0;
    pid_t r;
    do {
      r = waitpid(p->pid, &st, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == p->pid) {
      p->ended = true;
      if (WIFEXITED(st))
        p->code = static_cast<DWORD>(WEXITSTATUS(st));
      else if (p->terminated && WTERMSIG(st) == SIGKILL)
        p->code = p->term_code;
      else
        p->code = 128 + static_cast<DWORD>(WTERMSIG(st));
    } else if (r < 0) {
      p->child = false;  // reaped elsewhere: only whether it ended can be known now
    }
  }
  if (!p->ended && !p->child) {
    bool gone;
    if (p->pidfd >= 0) {
      struct pollfd pfd = {p->pidfd, POLLIN, 0};
      gone = poll(&pfd, 1, 0) == 1;
    } else {
      ProcStat ps;
      gone = !ReadProcStat(p->pid, &ps) || ps.state == 'Z' || ps.state == 'X';
    }
    if (gone) {
      p->ended = true;
      p->code = p->terminated ? p->term_code : 0;
    }
  }
  *exit_code = p->ended ? p->code : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE process, UINT exit_code) {
  ProcessObject* p = AsProcess(process);
  if (p == nullptr) return FailWith(ERROR_INVALID_HANDLE);
  if (p->ended) return FailWith(ERROR_ACCESS_DENIED);
  int rc = p->pidfd >= 0
               ? static_cast<int>(syscall(SYS_pidfd_send_signal, p->pidfd, SIGKILL, nullptr, 0))
               : kill(p->pid, SIGKILL);
  if (rc != 0) return FailWith(errno == ESRCH ? ERROR_ACCESS_DENIED : ErrnoToWin32(errno));
  p->terminated = true;
  p->term_code = exit_code;
  return TRUE;
}

bool ReadProcStat(pid_t pid, ProcStat* out) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[1024];
  ssize_t len = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (len <= 0) return false;
  buf[len] = '\0';
  // The command name may hold blanks and parentheses: the fields start after
  // the last ')'.
  char* p = strrchr(buf, ')');
  if (p == nullptr) return false;
  // Fields from 3 on, split at blanks: state (3), parent (4), threads (20),
  // start time (22).
  const char* field[23] = {};
  int n = 3;
  for (char *save = nullptr, *tok = strtok_r(p + 1, " ", &save); tok != nullptr && n < 23;
       tok = strtok_r(nullptr, " ", &save))
    field[n++] = tok;
  if (n < 23) return false;
  char state = field[3][0];
  long long ppid = strtoll(field[4], nullptr, 10);
  unsigned long long threads = strtoull(field[20], nullptr, 10);
  unsigned long long start = strtoull(field[22], nullptr, 10);
  out->ppid = static_cast<pid_t>(ppid);
  out->state = state;
  out->threads = static_cast<ULONG>(threads);
  out->start_time = start;
  return true;
}

bool ProcessRunning(pid_t pid, uint64_t start_time) {
  ProcStat ps;
  if (pid <= 0 || !ReadProcStat(pid, &ps)) return false;
  return ps.start_time == start_time && ps.state != 'Z' && ps.state != 'X';
}

NTSTATUS NTAPI QuerySystemInformationPosix(ULONG information_class, void* buffer, ULONG length,
                                           ULONG* return_length) {
  if (information_class != SystemProcessInformation) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return STATUS_INVALID_INFO_CLASS;
  }
  struct Entry {
    pid_t pid;
    ProcStat stat;
  };
  std::vector<Entry> entries;
  DIR* d = opendir("/proc");
  if (d == nullptr) {
    SetLastError(ErrnoToWin32(errno));
    return STATUS_UNSUCCESSFUL;
  }
  while (struct dirent* e = readdir(d)) {
    char* end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || pid <= 0) continue;
    Entry en{static_cast<pid_t>(pid), {}};
    if (ReadProcStat(en.pid, &en.stat)) entries.push_back(en);  // gone meanwhile: left out
  }
  closedir(d);
  constexpr ULONG kRecord = (sizeof(SYSTEM_PROCESS_INFORMATION) + 7) & ~ULONG{7};
  ULONG need = static_cast<ULONG>(entries.size()) * kRecord;
  // Processes start between two calls: the size asked for has room for more.
  if (return_length) *return_length = need + 32 * kRecord;
  if (buffer == nullptr || length < need || entries.empty()) {
    SetLastError(ERROR_BAD_LENGTH);
    return STATUS_INFO_LENGTH_MISMATCH;
  }
  memset(buffer, 0, need);
  auto* base = static_cast<BYTE*>(buffer);
  for (size_t i = 0; i < entries.size(); ++i) {
    auto* rec = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(base + i * kRecord);
    rec->NextEntryOffset = i + 1 < entries.size() ? kRecord : 0;
    rec->NumberOfThreads = entries[i].stat.threads;
    rec->UniqueProcessId = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(entries[i].pid));
    rec->InheritedFromUniqueProcessId =
        reinterpret_cast<HANDLE>(static_cast<uintptr_t>(entries[i].stat.ppid));
  }
  return STATUS_SUCCESS;
}

int RunCaptured(const char* const* argv, std::string* output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    FailErrno();
    return -1;
  }
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  short sflags = 0;
  InitSpawn(&fa, &attr, &sflags);
  posix_spawnattr_setflags(&attr, sflags);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &fa, &attr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    SetLastError(SpawnError(rc));
    return -1;
  }
  char buf[4096];
  for (;;) {
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output) output->append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(st)) {
    SetLastError(ERROR_PROCESS_ABORTED);
    return -1;
  }
  return WEXITSTATUS(st);
}
