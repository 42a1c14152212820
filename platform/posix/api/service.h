// The service control calls that Windows defines, for a system without the
// Windows headers (see platform/service.h for the service managers behind them).
#pragma once

#include "platform/wintypes.h"

struct ScObject;
using SC_HANDLE = ScObject*;
struct ServiceStatusObject;
using SERVICE_STATUS_HANDLE = ServiceStatusObject*;

enum : DWORD {
  SC_MANAGER_CONNECT = 0x0001,
  SC_MANAGER_CREATE_SERVICE = 0x0002,
  SC_MANAGER_ALL_ACCESS = 0xF003F,
  SERVICE_QUERY_STATUS = 0x0004,
  SERVICE_START = 0x0010,
  SERVICE_STOP = 0x0020,
  SERVICE_INTERROGATE = 0x0080,
  SERVICE_ALL_ACCESS = 0xF01FF,
  DELETE = 0x00010000,

  SERVICE_WIN32_OWN_PROCESS = 0x10,
  SERVICE_AUTO_START = 2,
  SERVICE_DEMAND_START = 3,
  SERVICE_DISABLED = 4,
  SERVICE_ERROR_NORMAL = 1,

  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,

  SERVICE_CONTROL_STOP = 1,
  SERVICE_CONTROL_INTERROGATE = 4,
  SERVICE_CONTROL_SHUTDOWN = 5,

  SERVICE_ACCEPT_STOP = 0x1,
  SERVICE_ACCEPT_SHUTDOWN = 0x4,
};

struct SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
};

using LPSERVICE_MAIN_FUNCTION = void(WINAPI*)(DWORD argc, char** argv);
using LPHANDLER_FUNCTION = void(WINAPI*)(DWORD control);

struct SERVICE_TABLE_ENTRY {
  char* lpServiceName;
  LPSERVICE_MAIN_FUNCTION lpServiceProc;
};

// ---- control side ----

// `machine` and `database` must be null (the local machine). Full access fails
// with ERROR_ACCESS_DENIED when the service database cannot be written.
SC_HANDLE OpenSCManager(const char* machine, const char* database, DWORD access);
// A name with '/' or '\' fails with ERROR_INVALID_NAME; an existing service
// with ERROR_SERVICE_EXISTS. `account` null is the local system account;
// group, tag, dependencies and password are not kept.
SC_HANDLE CreateService(SC_HANDLE manager, const char* name, const char* display_name, DWORD access,
                        DWORD service_type, DWORD start_type, DWORD error_control,
                        const char* binary_path, const char* load_order_group, DWORD* tag_id,
                        const char* dependencies, const char* account, const char* password);
// ERROR_SERVICE_DOES_NOT_EXIST for an unknown name.
SC_HANDLE OpenService(SC_HANDLE manager, const char* name, DWORD access);
// A service that is not stopped is marked and removed once it stops;
// ERROR_SERVICE_MARKED_FOR_DELETE when it is marked already.
BOOL DeleteService(SC_HANDLE service);
// ERROR_SERVICE_ALREADY_RUNNING unless stopped. Start arguments are not
// passed on this platform (ERROR_NOT_SUPPORTED when given).
BOOL StartService(SC_HANDLE service, DWORD argc, const char** argv);
// SERVICE_CONTROL_STOP, SERVICE_CONTROL_INTERROGATE and the user codes
// 128-255. ERROR_SERVICE_NOT_ACTIVE when the service does not run,
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL when it does not accept the control now
// (a stop while it starts or stops). `status` receives the latest status.
BOOL ControlService(SC_HANDLE service, DWORD control, SERVICE_STATUS* status);
BOOL QueryServiceStatus(SC_HANDLE service, SERVICE_STATUS* status);
BOOL CloseServiceHandle(SC_HANDLE handle);

// ---- service side ----

// Connects to the service manager, runs the first entry's routine on a new
// thread with the service name as argv[0], and calls the registered handler
// on this thread for every control until the service reports SERVICE_STOPPED
// (or its routine returns). TRUE then.
BOOL StartServiceCtrlDispatcher(const SERVICE_TABLE_ENTRY* table);
// Only the name that the dispatcher passed as argv[0]
// (ERROR_SERVICE_DOES_NOT_EXIST otherwise).
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandler(const char* name, LPHANDLER_FUNCTION handler);
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status);
