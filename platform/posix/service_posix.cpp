// Service control over two service managers: the layer's own service table
// (registry store + run-time files) and systemd (unit files, systemctl,
// sd_notify). See platform/service.h for what each keeps where.
#include "platform/service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/posix/process_posix.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

enum class Manager { kTable, kSystemd };

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
constexpr char kNameVariable[] = "TORVA_SERVICE_NAME";
constexpr DWORD kConnectTimeoutMs = 30000;
// Dispatcher wake-up word: the service has stopped or its routine returned.
constexpr DWORD kQuit = 0xFFFFFFFF;

BOOL Fail(DWORD code) {
  SetLastError(code);
  return FALSE;
}

template <typename T>
T* FailNull(DWORD code) {
  SetLastError(code);
  return nullptr;
}

// Which manager this process talks to; false for a value of
// TORVA_SERVICE_MANAGER that names neither.
bool ChooseManager(Manager* out) {
  const char* v = getenv("TORVA_SERVICE_MANAGER");
  if (v != nullptr && *v != '\0') {
    if (strcmp(v, "table") == 0) {
      *out = Manager::kTable;
      return true;
    }
    if (strcmp(v, "systemd") == 0) {
      *out = Manager::kSystemd;
      return true;
    }
    return false;
  }
  struct stat st;
  *out = stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode) ? Manager::kSystemd
                                                                      : Manager::kTable;
  return true;
}

bool ValidName(const char* name) {
  if (name == nullptr || *name == '\0' || strlen(name) > 256) return false;
  return strpbrk(name, "/\\") == nullptr;
}

// Service names compare without case; files are named in lower case.
std::string FileBase(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string Env(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return (v != nullptr && *v != '\0') ? v : fallback;
}

// Program and arguments of an image path. A quoted program is taken as
// quoted; an unquoted one with blanks is the shortest prefix, ending before a
// blank, that names a regular file, as CreateProcess reads an unquoted path.
void ResolveImagePath(const std::string& image, std::string* program,
                      std::vector<std::string>* args) {
  args->clear();
  if (!image.empty() && image[0] == '"') {
    std::vector<std::string> words = SplitCommandLine(image.c_str());
    *program = words.empty() ? std::string() : words[0];
    if (!words.empty()) args->assign(words.begin() + 1, words.end());
    return;
  }
  for (size_t pos = image.find(' '); pos != std::string::npos; pos = image.find(' ', pos + 1)) {
    std::string prefix = image.substr(0, pos);
    if (IsRegularFile(prefix.c_str()) == 1) {
      *program = prefix;
      *args = SplitCommandLine(image.c_str() + pos);
      return;
    }
  }
  *program = image;
}

// ---- the service table: registry ----

std::string ServiceKey(const std::string& name) { return std::string(kServicesKey) + "\\" + name; }

LONG QueryDword(HKEY key, const char* name, DWORD* out) {
  DWORD size = sizeof *out, type = REG_NONE;
  LONG rc = RegQueryValueEx(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
  if (rc == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof *out)) rc = ERROR_INVALID_DATA;
  return rc;
}

LONG SetDword(HKEY key, const char* name, DWORD value) {
  return RegSetValueEx(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
}

LONG SetString(HKEY key, const char* name, DWORD type, const char* value) {
  return RegSetValueEx(key, name, 0, type, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>(strlen(value) + 1));
}

// Opens a service's key when it is a service (it has a Type value).
LONG OpenServiceKey(const std::string& name, REGSAM sam, HKEY* key) {
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, ServiceKey(name).c_str(), 0, sam, key);
  if (rc == ERROR_FILE_NOT_FOUND) return ERROR_SERVICE_DOES_NOT_EXIST;
  if (rc != ERROR_SUCCESS) return rc;
  DWORD type = 0;
  if (QueryDword(*key, "Type", &type) != ERROR_SUCCESS) {
    RegCloseKey(*key);
    *key = nullptr;
    return ERROR_SERVICE_DOES_NOT_EXIST;
  }
  return ERROR_SUCCESS;
}

bool MarkedForDelete(HKEY key) {
  DWORD flag = 0;
  return QueryDword(key, "DeleteFlag", &flag) == ERROR_SUCCESS && flag != 0;
}

LONG DeleteKeyTree(HKEY parent, const std::string& sub) {
  HKEY key = nullptr;
  LONG rc = RegOpenKeyEx(parent, sub.c_str(), 0, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS) return rc;
  char child[256];
  for (;;) {
    DWORD len = sizeof child;
    if (RegEnumKeyEx(key, 0, child, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    rc = DeleteKeyTree(key, child);
    if (rc != ERROR_SUCCESS) break;
  }
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? RegDeleteKey(parent, sub.c_str()) : rc;
}

// ---- the service table: run-time files ----

struct TableStatus {
  SERVICE_STATUS st{};
  pid_t pid = 0;
  uint64_t start = 0;
  bool connected = false;
};

std::string RuntimeDir() { return Env("TORVA_RUNTIME_DIR", "/run/torva"); }

std::string RuntimeFile(const std::string& name, const char* suffix) {
  return RuntimeDir() + "/" + FileBase(name) + suffix;
}

bool ReadStatus(const std::string& name, TableStatus* out) {
  FILE* f = fopen(RuntimeFile(name, ".status").c_str(), "re");
  if (f == nullptr) return false;
  long long pid = 0;
  unsigned long long start = 0;
  unsigned v[8] = {};
  int n = fscanf(f,
                 "pid %lld\nstart %llu\nconnected %u\ntype %u\nstate %u\ncontrols %u\n"
                 "win32 %u\nspecific %u\ncheckpoint %u\nwaithint %u\n",
                 &pid, &start, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
  fclose(f);
  if (n != 10) return false;
  out->pid = static_cast<pid_t>(pid);
  out->start = start;
  out->connected = v[0] != 0;
  out->st = SERVICE_STATUS{v[1], v[2], v[3], v[4], v[5], v[6], v[7]};
  return true;
}

// Replaces the status file as a whole, so readers never see half of one.
DWORD WriteStatus(const std::string& name, const TableStatus& s) {
  std::string dir = RuntimeDir();
  if (!CreateDirectoryTree(dir.c_str())) return GetLastError();
  std::string path = RuntimeFile(name, ".status");
  char tmp_suffix[48];
  snprintf(tmp_suffix, sizeof tmp_suffix, ".%d.%d", static_cast<int>(getpid()),
           static_cast<int>(gettid()));
  std::string tmp = path + tmp_suffix;
  char text[512];
  int n = snprintf(text, sizeof text,
                   "pid %d\nstart %llu\nconnected %u\ntype %u\nstate %u\ncontrols %u\n"
                   "win32 %u\nspecific %u\ncheckpoint %u\nwaithint %u\n",
                   static_cast<int>(s.pid), static_cast<unsigned long long>(s.start),
                   s.connected ? 1u : 0u, s.st.dwServiceType, s.st.dwCurrentState,
                   s.st.dwControlsAccepted, s.st.dwWin32ExitCode, s.st.dwServiceSpecificExitCode,
                   s.st.dwCheckPoint, s.st.dwWaitHint);
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return ErrnoToWin32(errno);
  bool ok = write(fd, text, static_cast<size_t>(n)) == n;
  int err = errno;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    if (ok) err = errno;
    unlink(tmp.c_str());
    return ErrnoToWin32(err);
  }
  return ERROR_SUCCESS;
}

SERVICE_STATUS StoppedStatus(DWORD win32_exit) {
  return SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_STOPPED, 0, win32_exit, 0, 0, 0};
}

// The status as it stands: a service whose process has gone without
// reporting SERVICE_STOPPED has stopped abnormally. A service marked for
// deletion leaves the database once it is found stopped.
SERVICE_STATUS TableQuery(const std::string& name, TableStatus* raw = nullptr) {
  TableStatus s;
  SERVICE_STATUS st;
  if (!ReadStatus(name, &s))
    st = StoppedStatus(ERROR_SUCCESS);
  else if (s.st.dwCurrentState != SERVICE_STOPPED && !ProcessRunning(s.pid, s.start))
    st = StoppedStatus(ERROR_PROCESS_ABORTED);
  else
    st = s.st;
  if (raw) *raw = s;
  if (st.dwCurrentState == SERVICE_STOPPED) {
    HKEY key = nullptr;
    if (OpenServiceKey(name, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
      bool marked = MarkedForDelete(key);
      RegCloseKey(key);
      if (marked) DeleteKeyTree(HKEY_LOCAL_MACHINE, ServiceKey(name));
    }
  }
  return st;
}

// Serialises starts of one service between processes.
struct StartLock {
  int fd = -1;
  explicit StartLock(const std::string& name) {
    if (!CreateDirectoryTree(RuntimeDir().c_str())) return;
    fd = open(RuntimeFile(name, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
      while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~StartLock() {
    if (fd >= 0) close(fd);
  }
};

bool ReadAll(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t r = read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// Runs the image as a detached service process: a session of its own, not a
// child of the caller (which may end long before it), standard streams on
// /dev/null, working directory "/". The status file names the process before
// the program runs, so that its dispatcher finds itself there.
DWORD TableSpawn(const std::string& name, const std::string& image) {
  std::string program;
  std::vector<std::string> args;
  ResolveImagePath(image, &program, &args);
  if (program.empty()) return ERROR_FILE_NOT_FOUND;
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::string name_var = std::string(kNameVariable) + "=" + name;
  std::string dir_var = "TORVA_RUNTIME_DIR=" + RuntimeDir();
  std::vector<char*> envp;
  for (char** e = environ; *e != nullptr; ++e)
    if (strncmp(*e, "TORVA_SERVICE_NAME=", 19) != 0 && strncmp(*e, "TORVA_RUNTIME_DIR=", 18) != 0)
      envp.push_back(*e);
  envp.push_back(name_var.data());
  envp.push_back(dir_var.data());
  envp.push_back(nullptr);

  int go[2], info[2];
  if (pipe2(go, O_CLOEXEC) != 0) return ErrnoToWin32(errno);
  if (pipe2(info, O_CLOEXEC) != 0) {
    int err = errno;
    close(go[0]);
    close(go[1]);
    return ErrnoToWin32(err);
  }
  pid_t mid = fork();
  if (mid == 0) {
    // Only async-signal-safe calls from here to exec.
    if (setsid() < 0) _exit(127);
    pid_t svc = fork();
    if (svc != 0) {
      if (svc > 0) (void)!write(info[1], &svc, sizeof svc);
      _exit(svc > 0 ? 0 : 127);
    }
    ResetSignalsForExec();
    close(go[1]);
    char c;
    while (read(go[0], &c, 1) < 0 && errno == EINTR) {
    }
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
      if (null > 2) close(null);
    }
    if (chdir("/") != 0) _exit(127);
    execve(argv[0], argv.data(), envp.data());
    int err = errno;
    (void)!write(info[1], &err, sizeof err);
    _exit(127);
  }
  int fork_err = errno;
  close(go[0]);
  close(info[1]);
  if (mid < 0) {
    close(go[1]);
    close(info[0]);
    return ErrnoToWin32(fork_err);
  }
  while (waitpid(mid, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_t svc = 0;
  ProcStat ps;
  DWORD rc = ERROR_SUCCESS;
  if (!ReadAll(info[0], &svc, sizeof svc) || !ReadProcStat(svc, &ps)) {
    rc = ERROR_NOT_ENOUGH_MEMORY;
  } else {
    TableStatus s;
    s.pid = svc;
    s.start = ps.start_time;
    s.st = SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 2000};
    rc = WriteStatus(name, s);
    if (rc != ERROR_SUCCESS) kill(svc, SIGKILL);
  }
  close(go[1]);  // the service process goes on to exec
  int exec_err = 0;
  if (rc == ERROR_SUCCESS && ReadAll(info[0], &exec_err, sizeof exec_err)) {
    rc = exec_err == ENOEXEC                         ? ERROR_BAD_EXE_FORMAT
         : exec_err == EACCES || exec_err == EPERM   ? ERROR_ACCESS_DENIED
         : exec_err == ENOENT || exec_err == ENOTDIR ? ERROR_FILE_NOT_FOUND
                                                     : ErrnoToWin32(exec_err);
    unlink(RuntimeFile(name, ".status").c_str());
  }
  close(info[0]);
  return rc;
}

BOOL TableStart(const std::string& name) {
  {
    StartLock lock(name);
    if (TableQuery(name).dwCurrentState != SERVICE_STOPPED)
      return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    HKEY key = nullptr;
    LONG rc = OpenServiceKey(name, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return Fail(static_cast<DWORD>(rc));
    DWORD start = SERVICE_DEMAND_START;
    QueryDword(key, "Start", &start);
    bool marked = MarkedForDelete(key);
    char image[4096];
    DWORD size = sizeof image - 1, type = REG_NONE;
    rc = RegQueryValueEx(key, "ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(image), &size);
    RegCloseKey(key);
    if (marked) return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    if (start == SERVICE_DISABLED) return Fail(ERROR_SERVICE_DISABLED);
    if (rc != ERROR_SUCCESS)
      return Fail(rc == ERROR_MORE_DATA ? ERROR_FILENAME_EXCED_RANGE : ERROR_FILE_NOT_FOUND);
    image[size] = '\0';
    char expanded[4096];
    if (type == REG_EXPAND_SZ) {
      if (ExpandEnvironmentStrings(image, expanded, sizeof expanded) > sizeof expanded)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    } else {
      memcpy(expanded, image, size + 1);
    }
    DWORD err = TableSpawn(name, expanded);
    if (err != ERROR_SUCCESS) return Fail(err);
  }
  // As the Windows manager does, wait for the dispatcher to connect.
  for (DWORD waited = 0;; waited += 20) {
    TableStatus raw;
    SERVICE_STATUS st = TableQuery(name, &raw);
    if (raw.connected) return TRUE;
    if (st.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_PROCESS_ABORTED);
    if (waited >= kConnectTimeoutMs) {
      kill(raw.pid, SIGKILL);
      return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
    }
    Sleep(20);
  }
}

BOOL TableControl(const std::string& name, DWORD control, SERVICE_STATUS* out) {
  SERVICE_STATUS st = TableQuery(name);
  if (out) *out = st;
  if (st.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (control == SERVICE_CONTROL_STOP &&
      ((st.dwControlsAccepted & SERVICE_ACCEPT_STOP) == 0 ||
       st.dwCurrentState == SERVICE_START_PENDING || st.dwCurrentState == SERVICE_STOP_PENDING))
    return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  int fd = open(RuntimeFile(name, ".ctl").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(ERROR_SERVICE_NOT_ACTIVE);  // nobody reads the channel
  ssize_t n = write(fd, &control, sizeof control);
  close(fd);
  if (n != static_cast<ssize_t>(sizeof control)) return Fail(ERROR_SERVICE_REQUEST_TIMEOUT);
  return TRUE;
}

// ---- systemd ----

std::string UnitDir() { return Env("TORVA_SYSTEMD_DIR", "/etc/systemd/system"); }
std::string UnitName(const std::string& name) { return name + ".service"; }
std::string UnitPath(const std::string& name) { return UnitDir() + "/" + UnitName(name); }
std::string WantsLink(const std::string& name) {
  return UnitDir() + "/multi-user.target.wants/" + UnitName(name);
}

bool SystemdRunning() {
  struct stat st;
  return stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// Tells a running systemd that unit files changed. Nothing to tell where it
// does not run; a failure leaves the files for its next reload.
void DaemonReload() {
  if (!SystemdRunning()) return;
  const char* argv[] = {"systemctl", "daemon-reload", nullptr};
  RunCaptured(argv, nullptr);
}

// One word of an ExecStart= line: quoted where systemd would split or
// unescape it, with its specifier and variable characters doubled.
std::string UnitWord(const std::string& w) {
  std::string body;
  bool quote = w.empty();
  for (char c : w) {
    if (c == '%' || c == '$') body += c;
    if (c == '\\' || c == '"') {
      body += '\\';
      quote = true;
    }
    if (c == ' ' || c == '\t' || c == ';' || c == '\'') quote = true;
    body += c;
  }
  return quote ? "\"" + body + "\"" : body;
}

std::string UnitText(const char* display_name, const std::string& image) {
  std::string program;
  std::vector<std::string> args;
  ResolveImagePath(image, &program, &args);
  std::string exec = UnitWord(program);
  for (const auto& a : args) exec += " " + UnitWord(a);
  std::string text = "[Unit]\nDescription=";
  text += display_name;
  text += "\n\n[Service]\nType=notify\nExecStart=" + exec + "\n";
  // The service host stops its own server; systemd signals only the host and
  // ends whatever is left once the host has gone.
  text += "KillMode=mixed\nRestart=no\n";
  // The store and the event log that the installer used, where they are not
  // the defaults.
  for (const char* var : {"TORVA_REGISTRY", "TORVA_EVENTLOG"}) {
    const char* v = getenv(var);
    if (v != nullptr && *v != '\0')
      text += std::string("Environment=") + UnitWord(std::string(var) + "=" + v) + "\n";
  }
  text += "\n[Install]\nWantedBy=multi-user.target\n";
  return text;
}

DWORD WriteNewFile(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST ? ERROR_SERVICE_EXISTS : ErrnoToWin32(errno);
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  int err = errno;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(path.c_str());
    return ErrnoToWin32(err);
  }
  return ERROR_SUCCESS;
}

BOOL SystemdQuery(const std::string& name, SERVICE_STATUS* out) {
  if (!SystemdRunning()) return Fail(RPC_S_SERVER_UNAVAILABLE);
  std::string unit = UnitName(name), text;
  const char* argv[] = {"systemctl", "show", "--property=LoadState,ActiveState", unit.c_str(),
                        nullptr};
  int rc = RunCaptured(argv, &text);
  if (rc != 0) return Fail(rc < 0 ? GetLastError() : RPC_S_SERVER_UNAVAILABLE);
  std::string load, active;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;
    if (line.rfind("LoadState=", 0) == 0) load = line.substr(10);
    if (line.rfind("ActiveState=", 0) == 0) active = line.substr(12);
  }
  if (load == "not-found") return Fail(ERROR_SERVICE_DOES_NOT_EXIST);
  SERVICE_STATUS st = StoppedStatus(ERROR_SUCCESS);
  const DWORD accepts = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  if (active == "active" || active == "reloading") {
    st.dwCurrentState = SERVICE_RUNNING;
    st.dwControlsAccepted = accepts;
  } else if (active == "activating") {
    st.dwCurrentState = SERVICE_START_PENDING;
  } else if (active == "deactivating") {
    st.dwCurrentState = SERVICE_STOP_PENDING;
    st.dwControlsAccepted = accepts;
  } else if (active == "failed") {
    st.dwWin32ExitCode = ERROR_PROCESS_ABORTED;
  }
  *out = st;
  return TRUE;
}

BOOL Systemctl(const char* verb, const std::string& name) {
  std::string unit = UnitName(name);
  const char* argv[] = {"systemctl", verb, "--no-block", unit.c_str(), nullptr};
  int rc = RunCaptured(argv, nullptr);
  if (rc == 0) return TRUE;
  return Fail(rc == 5  ? ERROR_SERVICE_DOES_NOT_EXIST
              : rc < 0 ? GetLastError()
                       : RPC_S_SERVER_UNAVAILABLE);
}

}  // namespace

// ---- control side ----

struct ScObject {
  Manager manager;
  bool is_manager;
  std::string name;  // the service's name as created
  DWORD access;
};

namespace {

bool Allowed(SC_HANDLE h, DWORD right) { return (h->access & right) == right; }

bool IsService(SC_HANDLE h) { return h != nullptr && !h->is_manager; }

}  // namespace

SC_HANDLE OpenSCManager(const char* machine, const char* database, DWORD access) {
  if ((machine != nullptr && *machine != '\0') ||
      (database != nullptr && strcasecmp(database, "ServicesActive") != 0))
    return FailNull<ScObject>(ERROR_INVALID_PARAMETER);
  Manager m;
  if (!ChooseManager(&m)) return FailNull<ScObject>(ERROR_INVALID_PARAMETER);
  if (access & SC_MANAGER_CREATE_SERVICE) {
    if (m == Manager::kTable) {
      HKEY key = nullptr;
      LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, kServicesKey, 0, nullptr,
                               REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      if (rc != ERROR_SUCCESS) return FailNull<ScObject>(static_cast<DWORD>(rc));
      RegCloseKey(key);
    } else {
      std::string dir = UnitDir();
      struct stat st;
      if (stat(dir.c_str(), &st) == 0 && ::access(dir.c_str(), W_OK) != 0)
        return FailNull<ScObject>(ERROR_ACCESS_DENIED);
    }
  }
  return new ScObject{m, true, std::string(), access};
}

SC_HANDLE CreateService(SC_HANDLE manager, const char* name, const char* display_name, DWORD access,
                        DWORD service_type, DWORD start_type, DWORD error_control,
                        const char* binary_path, const char*, DWORD*, const char*,
                        const char* account, const char*) {
  if (manager == nullptr || !manager->is_manager) return FailNull<ScObject>(ERROR_INVALID_HANDLE);
  if (!Allowed(manager, SC_MANAGER_CREATE_SERVICE)) return FailNull<ScObject>(ERROR_ACCESS_DENIED);
  if (!ValidName(name)) return FailNull<ScObject>(ERROR_INVALID_NAME);
  if (binary_path == nullptr || *binary_path == '\0' || service_type != SERVICE_WIN32_OWN_PROCESS ||
      start_type > SERVICE_DISABLED)
    return FailNull<ScObject>(ERROR_INVALID_PARAMETER);
  const char* shown = (display_name != nullptr && *display_name != '\0') ? display_name : name;
  if (manager->manager == Manager::kSystemd) {
    std::string dir = UnitDir();
    if (!CreateDirectoryTree(dir.c_str())) return FailNull<ScObject>(GetLastError());
    DWORD rc = WriteNewFile(UnitPath(name), UnitText(shown, binary_path));
    if (rc != ERROR_SUCCESS) return FailNull<ScObject>(rc);
    if (start_type == SERVICE_AUTO_START) {
      // What "systemctl enable" does for WantedBy=multi-user.target.
      std::string wants = dir + "/multi-user.target.wants";
      std::string link = WantsLink(name);
      unlink(link.c_str());
      if (!CreateDirectoryTree(wants.c_str()) ||
          symlink(UnitPath(name).c_str(), link.c_str()) != 0) {
        DWORD err = ErrnoToWin32(errno);
        unlink(UnitPath(name).c_str());
        return FailNull<ScObject>(err);
      }
    }
    DaemonReload();
    return new ScObject{Manager::kSystemd, false, name, access};
  }
  HKEY key = nullptr;
  if (OpenServiceKey(name, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
    bool marked = MarkedForDelete(key);
    RegCloseKey(key);
    return FailNull<ScObject>(marked ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS);
  }
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, ServiceKey(name).c_str(), 0, nullptr,
                           REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return FailNull<ScObject>(static_cast<DWORD>(rc));
  // Type last: a key without it is no service yet.
  LONG results[] = {
      SetDword(key, "Start", start_type),
      SetDword(key, "ErrorControl", error_control),
      SetString(key, "ImagePath", REG_EXPAND_SZ, binary_path),
      SetString(key, "DisplayName", REG_SZ, shown),
      SetString(key, "ObjectName", REG_SZ, account != nullptr ? account : "LocalSystem"),
      SetDword(key, "Type", service_type),
  };
  RegCloseKey(key);
  for (LONG r : results) {
    if (r != ERROR_SUCCESS) {
      DeleteKeyTree(HKEY_LOCAL_MACHINE, ServiceKey(name));
      return FailNull<ScObject>(static_cast<DWORD>(r));
    }
  }
  return new ScObject{Manager::kTable, false, name, access};
}

SC_HANDLE OpenService(SC_HANDLE manager, const char* name, DWORD access) {
  if (manager == nullptr || !manager->is_manager) return FailNull<ScObject>(ERROR_INVALID_HANDLE);
  if (!ValidName(name)) return FailNull<ScObject>(ERROR_INVALID_NAME);
  if (manager->manager == Manager::kSystemd) {
    struct stat st;
    if (stat(UnitPath(name).c_str(), &st) != 0)
      return FailNull<ScObject>(ERROR_SERVICE_DOES_NOT_EXIST);
  } else {
    HKEY key = nullptr;
    LONG rc = OpenServiceKey(name, KEY_QUERY_VALUE, &key);
    if (rc != ERROR_SUCCESS) return FailNull<ScObject>(static_cast<DWORD>(rc));
    RegCloseKey(key);
  }
  return new ScObject{manager->manager, false, name, access};
}

BOOL DeleteService(SC_HANDLE service) {
  if (!IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  if (!Allowed(service, DELETE)) return Fail(ERROR_ACCESS_DENIED);
  if (service->manager == Manager::kSystemd) {
    unlink(WantsLink(service->name).c_str());
    if (unlink(UnitPath(service->name).c_str()) != 0)
      return Fail(errno == ENOENT ? ERROR_SERVICE_MARKED_FOR_DELETE : ErrnoToWin32(errno));
    DaemonReload();
    return TRUE;
  }
  HKEY key = nullptr;
  LONG rc = OpenServiceKey(service->name, KEY_ALL_ACCESS, &key);
  if (rc != ERROR_SUCCESS)
    return Fail(rc == ERROR_SERVICE_DOES_NOT_EXIST ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                   : static_cast<DWORD>(rc));
  if (MarkedForDelete(key)) {
    RegCloseKey(key);
    return Fail(ERROR_SERVICE_MARKED_FOR_DELETE);
  }
  if (TableQuery(service->name).dwCurrentState != SERVICE_STOPPED) {
    rc = SetDword(key, "DeleteFlag", 1);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
  }
  RegCloseKey(key);
  rc = DeleteKeyTree(HKEY_LOCAL_MACHINE, ServiceKey(service->name));
  return rc == ERROR_SUCCESS ? TRUE : Fail(static_cast<DWORD>(rc));
}

BOOL StartService(SC_HANDLE service, DWORD argc, const char**) {
  if (!IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  if (!Allowed(service, SERVICE_START)) return Fail(ERROR_ACCESS_DENIED);
  if (argc != 0) return Fail(ERROR_NOT_SUPPORTED);
  if (service->manager == Manager::kTable) return TableStart(service->name);
  SERVICE_STATUS st;
  if (!SystemdQuery(service->name, &st)) return FALSE;
  if (st.dwCurrentState != SERVICE_STOPPED) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  return Systemctl("start", service->name);
}

BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status) {
  if (!IsService(service)) return Fail(ERROR_INVALID_HANDLE);
  if (control == SERVICE_CONTROL_SHUTDOWN) return Fail(ERROR_INVALID_PARAMETER);
  if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE &&
      (control < 128 || control > 255))
    return Fail(ERROR_INVALID_SERVICE_CONTROL);
  DWORD right = 0x0100;  // user-defined control
  if (control == SERVICE_CONTROL_STOP) right = SERVICE_STOP;
  if (control == SERVICE_CONTROL_INTERROGATE) right = SERVICE_INTERROGATE;
  if (!Allowed(service, right)) return Fail(ERROR_ACCESS_DENIED);
  if (service->manager == Manager::kTable) return TableControl(service->name, control, status);
  SERVICE_STATUS st;
  if (!SystemdQuery(service->name, &st)) return FALSE;
  if (status) *status = st;
  if (st.dwCurrentState == SERVICE_STOPPED) return Fail(ERROR_SERVICE_NOT_ACTIVE);
  if (control == SERVICE_CONTROL_INTERROGATE) return TRUE;
  if (control != SERVICE_CONTROL_STOP) return Fail(ERROR_INVALID_SERVICE_CONTROL);
  if (st.dwCurrentState != SERVICE_RUNNING) return Fail(ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  return Systemctl("stop", service->name);
}

BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status) {
  if (!IsService(service) || status == nullptr) return Fail(ERROR_INVALID_HANDLE);
  if (!Allowed(service, SERVICE_QUERY_STATUS)) return Fail(ERROR_ACCESS_DENIED);
  if (service->manager == Manager::kSystemd) return SystemdQuery(service->name, status);
  *status = TableQuery(service->name);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
  if (handle == nullptr) return Fail(ERROR_INVALID_HANDLE);
  delete handle;
  return TRUE;
}

// ---- service side ----

// The one service of this process, while its dispatcher runs.
struct ServiceStatusObject {
  Manager manager;
  std::string name;
  char* argv[2];
  LPSERVICE_MAIN_FUNCTION main_routine;
  std::mutex mu;
  LPHANDLER_FUNCTION handler = nullptr;  // guarded by mu
  TableStatus table;                     // guarded by mu
  int wake[2] = {-1, -1};                // controls and kQuit for the dispatcher thread
  int channel = -1;                      // the table's control FIFO
};

namespace {

ServiceStatusObject* g_service = nullptr;

void Post(ServiceStatusObject* s, DWORD word) {
  ssize_t n;
  do {
    n = write(s->wake[1], &word, sizeof word);
  } while (n < 0 && errno == EINTR);
}

DWORD ServiceThread(void* arg) {
  auto* s = static_cast<ServiceStatusObject*>(arg);
  s->main_routine(1, s->argv);
  Post(s, kQuit);
  return 0;
}

// Under systemd the stop control comes as SIGTERM, which the console layer
// hands to its handlers as CTRL_SHUTDOWN_EVENT; this one, installed last, is
// asked first.
BOOL WINAPI SystemdStopSignal(DWORD event) {
  ServiceStatusObject* s = g_service;
  if (event != CTRL_SHUTDOWN_EVENT || s == nullptr) return FALSE;
  Post(s, SERVICE_CONTROL_STOP);
  return TRUE;
}

// Reads the control words waiting on a descriptor; true when kQuit was among them.
bool TakeControls(int fd, ServiceStatusObject* s) {
  bool quit = false;
  DWORD words[64];
  ssize_t n;
  while ((n = read(fd, words, sizeof words)) > 0) {
    for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof(DWORD)); ++i) {
      if (words[i] == kQuit) {
        quit = true;
        continue;
      }
      LPHANDLER_FUNCTION handler;
      {
        std::lock_guard<std::mutex> lock(s->mu);
        handler = s->handler;
      }
      if (handler != nullptr) handler(words[i]);
    }
  }
  return quit;
}

bool Connect(ServiceStatusObject* s) {
  if (s->manager == Manager::kSystemd) {
    const char* sock = getenv("NOTIFY_SOCKET");
    return sock != nullptr && *sock != '\0';
  }
  const char* name = getenv(kNameVariable);
  if (name == nullptr || *name == '\0' || !ReadStatus(name, &s->table) || s->table.pid != getpid())
    return false;
  s->name = name;
  std::string fifo = RuntimeFile(s->name, ".ctl");
  unlink(fifo.c_str());
  if (mkfifo(fifo.c_str(), 0600) != 0) return false;
  // Opened for reading and writing, so it never reads as closed while no
  // controller has it open.
  s->channel = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (s->channel < 0) return false;
  s->table.connected = true;
  return WriteStatus(s->name, s->table) == ERROR_SUCCESS;
}

}  // namespace

BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table) {
  if (table == nullptr || table[0].lpServiceProc == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  if (g_service != nullptr) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  auto* s = new ServiceStatusObject;
  s->main_routine = table[0].lpServiceProc;
  bool connected = ChooseManager(&s->manager);
  if (connected && s->manager == Manager::kSystemd)
    s->name = table[0].lpServiceName ? table[0].lpServiceName : "";
  connected = connected && Connect(s) && pipe2(s->wake, O_CLOEXEC | O_NONBLOCK) == 0;
  if (!connected) {
    if (s->channel >= 0) close(s->channel);
    delete s;
    return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  }
  g_service = s;
  if (s->manager == Manager::kSystemd && !SetConsoleCtrlHandler(SystemdStopSignal, TRUE))
    return FALSE;  // no stop control could ever arrive
  s->argv[0] = s->name.data();
  s->argv[1] = nullptr;
  HANDLE thread = CreateThread(nullptr, 0, ServiceThread, s, 0, nullptr);
  if (thread == nullptr) return FALSE;
  CloseHandle(thread);
  for (bool quit = false; !quit;) {
    struct pollfd fds[2] = {{s->wake[0], POLLIN, 0}, {s->channel, POLLIN, 0}};
    if (poll(fds, s->channel >= 0 ? 2 : 1, -1) < 0) continue;
    if (fds[1].revents & POLLIN) quit = TakeControls(s->channel, s);
    if (fds[0].revents & POLLIN) quit = TakeControls(s->wake[0], s) || quit;
  }
  // The process ends soon; the record stays for the handlers of late signals.
  if (s->channel >= 0) {
    close(s->channel);
    unlink(RuntimeFile(s->name, ".ctl").c_str());
  }
  return TRUE;
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, LPHANDLER_FUNCTION handler) {
  ServiceStatusObject* s = g_service;
  if (s == nullptr) return FailNull<ServiceStatusObject>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  if (name == nullptr || strcasecmp(name, s->name.c_str()) != 0)
    return FailNull<ServiceStatusObject>(ERROR_SERVICE_DOES_NOT_EXIST);
  std::lock_guard<std::mutex> lock(s->mu);
  s->handler = handler;
  return s;
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
  if (handle == nullptr || handle != g_service) return Fail(ERROR_INVALID_HANDLE);
  if (status == nullptr || status->dwCurrentState < SERVICE_STOPPED || status->dwCurrentState > 7)
    return Fail(ERROR_INVALID_DATA);
  ServiceStatusObject* s = handle;
  if (s->manager == Manager::kTable) {
    DWORD rc;
    {
      std::lock_guard<std::mutex> lock(s->mu);
      s->table.st = *status;
      rc = WriteStatus(s->name, s->table);
    }
    if (rc != ERROR_SUCCESS) return Fail(rc);
  } else {
    char msg[160];
    unsigned long long hint_us = static_cast<unsigned long long>(status->dwWaitHint) * 1000;
    switch (status->dwCurrentState) {
      case SERVICE_START_PENDING:
        snprintf(msg, sizeof msg, "STATUS=Starting\nEXTEND_TIMEOUT_USEC=%llu", hint_us);
        break;
      case SERVICE_RUNNING: snprintf(msg, sizeof msg, "READY=1\nSTATUS=Running"); break;
      case SERVICE_STOP_PENDING:
        snprintf(msg, sizeof msg, "STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=%llu", hint_us);
        break;
      case SERVICE_STOPPED:
        snprintf(msg, sizeof msg, "STATUS=Stopped (exit code %u)", status->dwWin32ExitCode);
        break;
      default: snprintf(msg, sizeof msg, "STATUS=State %u", status->dwCurrentState); break;
    }
    int r = sd_notify(0, msg);
    if (r <= 0) return Fail(r < 0 ? ErrnoToWin32(-r) : DWORD{ERROR_INVALID_HANDLE});
  }
  if (status->dwCurrentState == SERVICE_STOPPED) Post(s, kQuit);
  return TRUE;
}
