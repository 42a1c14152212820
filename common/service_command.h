// The sequence that tvlaunch and tvhalt share: check the service's state,
// send it one request and wait up to 30 seconds for the state it leads to.
// Everything goes to standard output; the result is -1 on every path, so only
// the message tells the outcome.
#pragma once

#include <cstdio>

#include "common/torva.h"
#include "platform/service.h"
#include "platform/system.h"

namespace torva {

struct ServiceCommand {
  DWORD required_state;   // the state the service must be in first
  const char* not_ready;  // message when it is not
  bool start;             // start the service, or send it the stop control
  const char* refused;    // message when the request fails
  DWORD target_state;     // the state waited for
  const char* done;       // message when it is reached
};

inline constexpr int kServiceWaitPauses = 30;
inline constexpr DWORD kServiceWaitMs = 1000;

inline int RunServiceCommand(const ServiceCommand& cmd) {
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (scm == nullptr) {
    printf("Can not open SCM. (%d)\n", static_cast<int>(GetLastError()));
    return -1;
  }
  SC_HANDLE svc = OpenService(scm, kServiceName, SERVICE_ALL_ACCESS);
  if (svc == nullptr) {
    printf("Can not open the service. (%d)\n", static_cast<int>(GetLastError()));
    CloseServiceHandle(scm);
    return -1;
  }
  SERVICE_STATUS st;
  if (!QueryServiceStatus(svc, &st)) {
    printf("Can not query the service. (%d)\n", static_cast<int>(GetLastError()));
  } else if (st.dwCurrentState != cmd.required_state) {
    printf("%s", cmd.not_ready);
  } else if (cmd.start ? !StartService(svc, 0, nullptr)
                       : !ControlService(svc, SERVICE_CONTROL_STOP, &st)) {
    printf("%s", cmd.refused);
  } else {
    for (int pauses = 0;; ++pauses) {
      if (!QueryServiceStatus(svc, &st)) {
        printf("Can not query the service. (%d)", static_cast<int>(GetLastError()));
        break;
      }
      if (st.dwCurrentState == cmd.target_state) {
        printf("%s", cmd.done);
        break;
      }
      if (pauses == kServiceWaitPauses) {
        printf("Timeout.");
        break;
      }
      Sleep(kServiceWaitMs);
    }
  }
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
  return -1;
}

}  // namespace torva
