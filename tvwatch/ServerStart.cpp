#include "tvwatch/ServerStart.h"

#include <cstring>

#include "common/strutil.h"
#include "common/torva.h"
#include "platform/eventlog.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "tvevents/tvevents.h"
#include "tvwatch/EventReport.h"
#include "tvwatch/WatchState.h"

namespace {

constexpr size_t kCommandLineSize = 844;
constexpr DWORD kPipeSize = 1024;

// The paths that the server is started with.
struct ServerPaths {
  char program[MAX_PATH];
  char config[MAX_PATH];
  char command_line[kCommandLineSize];
};

// Plain concatenation of the stored values; a path that would not fit its
// buffer is refused as a "Path" too long, never cut.
bool BuildPaths(const char* path, const char* config_dir, bool config_counts, ServerPaths* out) {
  constexpr char sep = torva::kPathSep;
  bool ok = torva::FormatInto(out->program, "%s%c%s%c%s", path, sep, torva::kDirBin, sep,
                              torva::kServerProgram);
  if (config_counts)
    ok = ok && torva::FormatInto(out->config, "%s%ctorvad.conf", config_dir, sep);
  else
    ok = ok &&
         torva::FormatInto(out->config, "%s%c%s%ctorvad.conf", path, sep, torva::kDirConf, sep);
  ok = ok && torva::FormatInto(g_watch.stop_path, "%s%c%s%c%08X.lck", path, sep, torva::kDirSys,
                               sep, static_cast<unsigned>(GetCurrentProcessId()));
  ok = ok && torva::FormatInto(out->command_line, "\"%s\" \"%s\" \"%s\"", out->program, out->config,
                               g_watch.stop_path);
  if (!ok) ApiError("RegQueryValueEx()", ERROR_FILENAME_EXCED_RANGE);
  return ok;
}

void CloseIf(HANDLE* h) {
  if (*h != nullptr) CloseHandle(*h);
  *h = nullptr;
}

void ClosePipes() {
  CloseIf(&g_watch.stdin_write);
  CloseIf(&g_watch.stdout_read);
  CloseIf(&g_watch.stderr_read);
  CloseIf(&g_watch.child_stdin);
  CloseIf(&g_watch.child_stdout);
  CloseIf(&g_watch.child_stderr);
}

// One pipe for the child. `host_reads` says which end the host keeps: that
// end is duplicated into a handle the child does not inherit and the
// inheritable one closed at once.
bool MakePipe(bool host_reads, HANDLE* host_end, HANDLE* child_end) {
  SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &sa, kPipeSize)) {
    ApiError("CreatePipe()", GetLastError());
    return false;
  }
  HANDLE inheritable = host_reads ? read_end : write_end;
  *child_end = host_reads ? write_end : read_end;
  if (!DuplicateHandle(GetCurrentProcess(), inheritable, GetCurrentProcess(), host_end, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    ApiError("DuplicateHandle()", GetLastError());
    CloseHandle(inheritable);
    return false;
  }
  CloseHandle(inheritable);
  return true;
}

}  // namespace

int ServerStart() {
  EventReport(EVENTLOG_INFORMATION_TYPE, EVMSG_EXECUTING, nullptr);
  char path[MAX_PATH], config_dir[MAX_PATH];
  bool config_counts = false;
  ServerPaths paths;
  if (!ReadSettings(path, &config_dir, &config_counts) ||
      !BuildPaths(path, config_dir, config_counts, &paths))
    return -1;

  g_watch.stop_file = CreateFile(g_watch.stop_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (g_watch.stop_file == INVALID_HANDLE_VALUE) {
    g_watch.stop_file = nullptr;
    ApiError("CreateFile()", GetLastError());
    return -1;
  }

  if (!MakePipe(false, &g_watch.stdin_write, &g_watch.child_stdin) ||
      !MakePipe(true, &g_watch.stdout_read, &g_watch.child_stdout) ||
      !MakePipe(true, &g_watch.stderr_read, &g_watch.child_stderr)) {
    ClosePipes();
    return -1;
  }

  STARTUPINFO si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  si.hStdInput = g_watch.child_stdin;
  si.hStdOutput = g_watch.child_stdout;
  si.hStdError = g_watch.child_stderr;
  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  if (!CreateProcess(paths.program, paths.command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                     &si, &pi)) {
    ApiError("CreateProcess()", GetLastError());
    ClosePipes();
    return -1;
  }
  CloseHandle(pi.hThread);
  g_watch.server_process = pi.hProcess;
  g_watch.server_pid = pi.dwProcessId;
  return 0;
}
