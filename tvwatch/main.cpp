// tvwatch: the service host. Run by the service manager as the service
// "torvad", it starts the server with its output streams on pipes, copies them
// into the rotated logs, stops the server through its stop file and reports to
// the event log. It has no console mode; --help and --version are its only
// options.
#include <cstring>

#include "common/program_info.h"
#include "common/strutil.h"
#include "common/torva.h"
#include "platform/eventlog.h"
#include "platform/module.h"
#include "platform/service.h"
#include "platform/system.h"
#include "tvevents/tvevents.h"
#include "tvwatch/EventReport.h"
#include "tvwatch/ServerStart.h"
#include "tvwatch/ServerWatch.h"
#include "tvwatch/WatchState.h"

namespace {

constexpr int kExitFatal = 255;
constexpr DWORD kStartWaitHint = 10000;

constexpr torva::ProgramInfo kInfo = {
    "tvwatch", "usage: tvwatch (started by the service manager as the service torvad)\n",
    "The service host of Torva Server: starts <Path>/bin/torvad with its\n"
    "configuration and a stop file, copies the server's output into\n"
    "<Path>/log/server.log and access.log (rotated at 1 MiB), stops the server\n"
    "through the stop file and reports to the event log. Run from a prompt it\n"
    "reports that no service manager started it and exits with 255; use tvlaunch\n"
    "and tvhalt.\n",
    8};

int Fatal(const char* call, DWORD error) {
  ApiError(call, error);
  AbnormalEnd();
  return kExitFatal;
}

[[noreturn]] void FatalExit() {
  AbnormalEnd();
  ExitProcess(kExitFatal);
}

// Reports g_watch.status; a failure is fatal.
void ReportStatus() {
  if (!SetServiceStatus(g_watch.status_handle, &g_watch.status)) {
    ApiError("SetServiceStatus()", GetLastError());
    FatalExit();
  }
}

void WINAPI WatchCtrlHandler(DWORD control) {
  // Every other control, interrogation included, is ignored without a report.
  if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN)
    SetEvent(g_watch.stop_event);
}

BOOL WINAPI WatchConsoleHandler(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT: return FALSE;
    case CTRL_SHUTDOWN_EVENT: WatchCtrlHandler(SERVICE_CONTROL_SHUTDOWN); return TRUE;
    default: return TRUE;
  }
}

void WINAPI WatchServiceMain(DWORD, char** argv) {
  EventReport(EVENTLOG_INFORMATION_TYPE, EVMSG_STARTING, nullptr);
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                       &g_watch.main_thread, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    ApiError("DuplicateHandle()", GetLastError());
    FatalExit();
  }
  g_watch.status_handle = RegisterServiceCtrlHandler(argv[0], WatchCtrlHandler);
  if (g_watch.status_handle == nullptr) {
    ApiError("RegisterServiceCtrlHandler()", GetLastError());
    FatalExit();
  }
  g_watch.status =
      SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 1, kStartWaitHint};
  ReportStatus();
  // No STOPPED report on this path: the service manager sees the process end.
  if (ServerStart() != 0) FatalExit();
  g_watch.status.dwCurrentState = SERVICE_RUNNING;
  g_watch.status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
  g_watch.status.dwCheckPoint = 0;
  g_watch.status.dwWaitHint = 0;
  ReportStatus();
  ServerWatch(g_watch.stop_event);
  // A handler that fires after this finds the event closed, which is harmless.
  CloseHandle(g_watch.stop_event);
  g_watch.status.dwCurrentState = SERVICE_STOPPED;
  g_watch.status.dwCheckPoint = 0;
  g_watch.status.dwWaitHint = kStartWaitHint;
  ReportStatus();
}

}  // namespace

int main(int argc, char** argv) {
  if (torva::AnswerInfoOption(argc, argv, kInfo)) return 0;
  g_watch.server_log.name = "server";
  g_watch.access_log.name = "access";
  g_watch.ntdll = LoadLibrary("ntdll.dll");
  if (g_watch.ntdll == nullptr) return Fatal("LoadLibrary()", GetLastError());
  FARPROC query = GetProcAddress(g_watch.ntdll, "ZwQuerySystemInformation");
  if (query == nullptr) return Fatal("GetProcAddress()", GetLastError());
  // Through the generic routine type: the export's own type is not known here.
  g_watch.query_system_information =
      reinterpret_cast<PZW_QUERY_SYSTEM_INFORMATION>(reinterpret_cast<void (*)()>(query));

  g_watch.stop_event = CreateEvent(nullptr, TRUE, FALSE, nullptr);
  if (g_watch.stop_event == nullptr) return Fatal("CreateEvent()", GetLastError());
  if (!SetConsoleCtrlHandler(WatchConsoleHandler, TRUE))
    return Fatal("SetConsoleCtrlHandler()", GetLastError());

  static char service_name[sizeof torva::kServiceName];
  torva::CopyTruncated(service_name, torva::kServiceName);
  const SERVICE_TABLE_ENTRY table[] = {{service_name, WatchServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcher(table))
    return Fatal("StartServiceCtrlDispatcher()", GetLastError());

  if (g_watch.main_thread != nullptr) {
    WaitForSingleObject(g_watch.main_thread, INFINITE);
    CloseHandle(g_watch.main_thread);
  }
  return 0;
}
