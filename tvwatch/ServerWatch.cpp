#include "tvwatch/ServerWatch.h"

#include "common/strutil.h"
#include "platform/eventlog.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/system.h"
#include "tvevents/tvevents.h"
#include "tvwatch/EventReport.h"
#include "tvwatch/LogAppend.h"
#include "tvwatch/ProcessTreeKill.h"
#include "tvwatch/WatchState.h"

namespace {

constexpr DWORD kChunk = 1024;
constexpr DWORD kPollMs = 100;
constexpr int kStopWaits = 50;
constexpr DWORD kStopWaitHint = 10000;

DWORD DrainOne(HANDLE pipe, WatchLog* log) {
  DWORD waiting = 0;
  if (!PeekNamedPipe(pipe, nullptr, kChunk, nullptr, &waiting, nullptr)) {
    ApiError("PeekNamedPipe()", GetLastError());
    return 0;
  }
  if (waiting == 0) return 0;
  if (waiting > kChunk) waiting = kChunk;
  char buf[kChunk];
  DWORD got = 0;
  if (!ReadFile(pipe, buf, waiting, &got, nullptr)) {
    ApiError("ReadFile()", GetLastError());
    return 0;
  }
  LogAppend(log, buf, got);
  return got;
}

void DrainUntilEmpty() {
  while (PipeDrain() > 0) {
  }
}

// The server's exit code. When the query fails the host cannot tell; it
// takes the server as running, so a stop request still ends it (by its stop
// file, or by the tree kill).
DWORD ExitCode() {
  DWORD code = STILL_ACTIVE;
  if (!GetExitCodeProcess(g_watch.server_process, &code)) {
    ApiError("GetExitCodeProcess()", GetLastError());
    return STILL_ACTIVE;
  }
  return code;
}

void StopRequested() {
  g_watch.status.dwCurrentState = SERVICE_STOP_PENDING;
  g_watch.status.dwCheckPoint += 1;
  g_watch.status.dwWaitHint = kStopWaitHint;
  if (!SetServiceStatus(g_watch.status_handle, &g_watch.status))
    ApiError("SetServiceStatus()", GetLastError());
  EventReport(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPING, nullptr);
  // Releasing the stop file is the stop signal; the server deletes it.
  CloseHandle(g_watch.stop_file);
  g_watch.stop_file = nullptr;
  DrainUntilEmpty();
  for (int i = 0; i < kStopWaits; ++i) {
    if (ExitCode() != STILL_ACTIVE) break;
    Sleep(kPollMs);
    DrainUntilEmpty();
  }
}

void EndedByItself(DWORD code) {
  if (code != 0) {
    EventReport(EVENTLOG_WARNING_TYPE, EVMSG_COMMAND_ENDED, "d", static_cast<int>(code));
    AbnormalEnd();
  } else {
    EventReport(EVENTLOG_INFORMATION_TYPE, EVMSG_STOPPING, nullptr);
  }
  CloseHandle(g_watch.stop_file);
  g_watch.stop_file = nullptr;
  // Nothing is reported when this fails: the file is only left behind.
  static_cast<void>(DeleteFile(g_watch.stop_path));
}

}  // namespace

DWORD PipeDrain() {
  return DrainOne(g_watch.stdout_read, &g_watch.server_log) +
         DrainOne(g_watch.stderr_read, &g_watch.access_log);
}

void ServerWatch(HANDLE stop_event) {
  for (;;) {
    DrainUntilEmpty();
    DWORD code = ExitCode();
    if (code != STILL_ACTIVE) {
      EndedByItself(code);
      break;
    }
    DWORD w = WaitForMultipleObjects(1, &stop_event, FALSE, kPollMs);
    if (w == WAIT_OBJECT_0) {
      StopRequested();
      break;
    }
    if (w != WAIT_TIMEOUT) {
      ApiError("WaitForMultipleObjects()", GetLastError());
      Sleep(1000);
    }
  }
  DWORD code = STILL_ACTIVE;
  if (!GetExitCodeProcess(g_watch.server_process, &code)) {
    ApiError("GetExitCodeProcess()", GetLastError());
    return;
  }
  if (code == STILL_ACTIVE) ProcessTreeKill(g_watch.server_pid);
}
