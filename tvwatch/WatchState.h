// The state that the service host keeps for the life of its process.
//
// Threads: the handlers (dispatcher thread, console thread) touch only
// `stop_event`; everything else belongs to the service main thread.
#pragma once

#include "platform/fs.h"
#include "platform/module.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/wintypes.h"

// One of the two log files that the server's output streams go to.
struct WatchLog {
  const char* name;  // "server" or "access"
  char log_path[MAX_PATH];
  char old_path[MAX_PATH];
  bool built;  // both paths made from "Path" (once)
};

struct WatchState {
  HANDLE stop_event;   // manual-reset; set by the handlers
  HANDLE main_thread;  // real handle of the service main thread
  SERVICE_STATUS_HANDLE status_handle;
  SERVICE_STATUS status;
  HANDLE stop_file;
  char stop_path[MAX_PATH];
  HANDLE server_process;
  DWORD server_pid;
  HANDLE stdin_write;  // kept, never written
  HANDLE stdout_read;
  HANDLE stderr_read;
  // The child's ends, kept open so that a drained pipe reads as empty, never as broken.
  HANDLE child_stdin;
  HANDLE child_stdout;
  HANDLE child_stderr;
  WatchLog server_log;
  WatchLog access_log;
  HMODULE ntdll;  // loaded for the process list, kept until the end
  PZW_QUERY_SYSTEM_INFORMATION query_system_information;
};

extern WatchState g_watch;

// Reads "Path" of the installation settings (opened for querying only) and,
// when `config_dir` is given, "ConfigDir", which counts only as a REG_SZ
// (*config_counts). Failures are reported as API errors; false when "Path"
// could not be read.
bool ReadSettings(char (&path)[MAX_PATH], char (*config_dir)[MAX_PATH], bool* config_counts);
