#include "torvad/StartTrans.h"

#include "platform/system.h"
#include "torvad/ConnectList.h"
#include "torvad/Log.h"
#include "torvad/TransMain.h"

int StartTrans(SOCKET sock, const SockAddress& address) {
  TRACE_START("StartTrans", "StartTrans");
  // The thread learns its socket from its connection list entry, so it waits
  // behind its gate until the entry exists.
  DWORD tid = 0;
  HANDLE thread = CreateThread(nullptr, 0, TransMain, nullptr, CREATE_SUSPENDED, &tid);
  if (thread == nullptr) {
    LogFailed(1, "CreateThread", GetLastError());
    SockClose(sock);
    return -1;
  }
  if (ConnectListAdd(sock, tid, thread, address) != 0) {
    TerminateThread(thread, 0);
    CloseHandle(thread);
    SockClose(sock);
    return -1;
  }
  if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
    LogFailed(1, "ResumeThread", GetLastError());
    // The thread never ran, so nothing else would ever mark its entry as
    // ended: without this the slot stayed taken for good.
    TerminateThread(thread, 0);
    ConnectListDrop(tid);
    SockClose(sock);
    return -1;
  }
  TRACE_END("StartTrans", "StartTrans");
  return 0;
}
