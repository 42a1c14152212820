// Service control in the Win32 shape: the control side (OpenSCManager ...
// QueryServiceStatus) and the service side (StartServiceCtrlDispatcher,
// RegisterServiceCtrlHandler, SetServiceStatus).
//
// Two service managers stand behind it, chosen by TORVA_SERVICE_MANAGER
// ("table" or "systemd"; unset: systemd where /run/systemd/system is a
// directory, else the table).
//
// The table keeps the service database where Windows keeps it, under
// HKEY_LOCAL_MACHINE "SYSTEM\CurrentControlSet\Services\<name>" in the registry
// store (Type, Start, ErrorControl, ImagePath, DisplayName, ObjectName).
// StartService runs ImagePath as a detached process in its own session, with
// the caller's environment plus TORVA_SERVICE_NAME, and waits up to 30 seconds
// for its dispatcher to connect (ERROR_SERVICE_REQUEST_TIMEOUT otherwise, and
// the process is ended). Status reports and controls pass through files under
// TORVA_RUNTIME_DIR (default /run/torva, created when missing): "<name>.status"
// and the control FIFO "<name>.ctl". A service whose process has ended without
// reporting SERVICE_STOPPED reads as stopped with ERROR_PROCESS_ABORTED.
//
// systemd: CreateService writes "<name>.service" into TORVA_SYSTEMD_DIR
// (default /etc/systemd/system) and, for SERVICE_AUTO_START, links it into
// multi-user.target.wants; start, stop and query run systemctl. The service
// side reports through sd_notify and takes SIGTERM as SERVICE_CONTROL_STOP.
//
// A dispatcher started any other way (a program run from a prompt) fails with
// ERROR_FAILED_SERVICE_CONTROLLER_CONNECT.
#pragma once

#include "platform/api/service.h"
#include "platform/wintypes.h"
