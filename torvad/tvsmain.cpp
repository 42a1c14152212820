#include "torvad/tvsmain.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "torvad/ConfigLoad.h"
#include "torvad/ConfigSetup.h"
#include "torvad/ConfigTbl.h"
#include "torvad/ConnectList.h"
#include "torvad/FailureList.h"
#include "torvad/Log.h"
#include "torvad/StartServerSocket.h"
#include "torvad/StartTrans.h"
#include "torvad/Tls.h"

namespace {

SOCKET g_listen = INVALID_SOCKET;
char* g_stop_file = nullptr;

// True when the stop file could be deleted: this pass is the last one.
bool StopFileCheck() { return g_stop_file != nullptr && DeleteFile(g_stop_file); }

void Retry() {
  LogWrite(3, "Procedure retry after sleep %d sec,", g_config->retry_seconds);
  for (int i = 0; i < g_config->retry_seconds; ++i) {
    LogWrite(4, ".");
    Sleep(1000);
  }
}

// The accept loop's wait. A cycle of zero or less would make the loop spin
// on a full list; it waits a little at least.
constexpr long long kMinLoopWaitMs = 10;

int LoopWaitMs() {
  long long ms = static_cast<long long>(g_config->loop_cycle_sec) * 1000 +
                 (static_cast<long long>(g_config->loop_cycle_usec) + 999) / 1000;
  return static_cast<int>(ms > 0x7FFFFFFF ? 0x7FFFFFFF : ms < kMinLoopWaitMs ? kMinLoopWaitMs : ms);
}

DWORD FullListSleepMs() {
  long long ms = static_cast<long long>(g_config->loop_cycle_usec) / 1000 +
                 static_cast<long long>(g_config->loop_cycle_sec) * 1000;
  return static_cast<DWORD>(ms > 0x7FFFFFFF       ? 0x7FFFFFFF
                            : ms < kMinLoopWaitMs ? kMinLoopWaitMs
                                                  : ms);
}

// The console thread is ending the process and has closed the listening
// socket under this loop: what fails now is no failure worth a line.
[[noreturn]] void AwaitTermination() {
  for (;;) Sleep(1000);
}

constexpr char kTooManyReply[] = "421 Too many connections from your address.\r\n";

// max-connect-per-host: a further connection from an address that holds its
// share already is told so and closed. It never becomes a session, so it
// counts as no log-in failure either.
bool TooManyFrom(SOCKET c, const SockAddress& addr) {
  const int limit = Config().max_connect_per_host;
  if (limit <= 0 || ConnectListCountFrom(addr) < limit) return false;
  char text[64];
  SockAddressText(addr, text, sizeof text);
  LogWrite(3, "Too many connections from %s.", text);
  // A new socket takes this much at once; a client already gone is no news.
  static_cast<void>(SockSend(c, kTooManyReply, sizeof kTooManyReply - 1));
  SockClose(c);
  return true;
}

[[noreturn]] void AcceptLoop() {
  bool last = false;
  while (!last) {
    last = StopFileCheck();
    if (ConnectListCount() < g_config->max_connect) {
      LogWrite(5, "Waiting for connection.");
      int r = SockWaitReadable(g_listen, LoopWaitMs());
      if (r < 0) {
        if (ConnectListTerminating()) AwaitTermination();
        LogWrite(1, "Failed select() ret=%d / errno=%d", r, SockLastError());
        Retry();
      } else if (r == 0) {
        ConnectListChk();
      } else {
        SockAddress addr;
        SOCKET c = SockAcceptAddress(g_listen, &addr);
        if (c == INVALID_SOCKET) {
          if (ConnectListTerminating()) AwaitTermination();
          LogFailed(1, "accept", static_cast<DWORD>(SockLastError()));
          Retry();
        } else if (discon_check(addr)) {
          SockClose(c);
        } else if (!TooManyFrom(c, addr) && StartTrans(c, addr) != 0) {
          LogWrite(1, "Failed to start transaction(%llu) is starting.", SockNumber(c));
          Retry();
        }
      }
    } else {
      ConnectListChk();
      Sleep(FullListSleepMs());
    }
  }
  TerminateFunc(0);
  ExitProcess(0);
}

int StartupFailed(bool sockets_started) {
  if (sockets_started) SockCleanup();
  TRACE_END("tvsmain", "tvsmain");
  free(g_config->ready_message);
  free(g_config->anonymous_path);
  free(g_config);
  g_config = nullptr;
  free(g_stop_file);
  g_stop_file = nullptr;
  return -1;
}

}  // namespace

BOOL SignalHold(DWORD) {
  TRACE_START("SignalHold", "tvsmain");
  TRACE_END("SignalHold", "tvsmain");
  return TRUE;
}

BOOL TerminateFunc(DWORD signal) {
  TRACE_START("TerminateFunc", "tvsmain");
  if (signal == CTRL_LOGOFF_EVENT) {
    LogWrite(3, "Control signal(%d) is ignore.", 5);
    TRACE_END("TerminateFunc", "tvsmain");
    return TRUE;
  }
  LogWrite(3, "Received the terminating signal. (%d)", static_cast<int>(signal));
  // Best effort: a second signal during termination only repeats what is
  // already under way.
  static_cast<void>(SetConsoleCtrlHandler(SignalHold, TRUE));
  LogWrite(3, "Terminating all transaction.");
  ConnectListTerm();
  if (g_listen != INVALID_SOCKET) SockClose(g_listen);
  SockCleanup();
  ExitProcess(0);
}

int tvsmain(int argc, char** argv) {
  g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
  if (g_config == nullptr) {
    printf("Can not allocate the memory of ConfigTbl.\n");
    fflush(stdout);
    return -1;
  }
  g_config->log_level = 4;
  g_config->list_type_unix = 1;
  TRACE_START("tvsmain", "tvsmain");

  if (int err = SockStartup(); err != 0) {
    LogWrite(-1, "WSAStartup() errno=%d", err);
    return StartupFailed(false);
  }
  if (ConfigLoad(argc > 1 ? argv[1] : "torvad.conf") != 0) return StartupFailed(true);
  if (argc > 2) {
    g_stop_file = strdup(argv[2]);
    if (g_stop_file == nullptr) {
      LogFailed(1, "malloc", GetLastError());
      return StartupFailed(true);
    }
  }
  if (ConfigSetup() != 0) return StartupFailed(true);
  if (!g_config->failure_keep && DisconnectDirCleanup() != 0) return StartupFailed(true);
  if (g_config->auth_mechanism != AUTH_NONE && TlsStartup() != 0) return StartupFailed(true);
  if (g_config->require_tls && g_config->auth_mechanism == AUTH_NONE)
    LogWrite(2, "require-tls is on without auth-mechanism: no client can log in.");
  ConfigShow();
  ConnectListInit();
  FailureListInit();
  g_listen = StartServerSocket();
  if (g_listen == INVALID_SOCKET) return StartupFailed(true);
  LogWrite(4, "Server Socket : %llu", SockNumber(g_listen));
  // The port is bound and the certificate and key are loaded: nothing left
  // needs the privileges the server was started with.
  if (g_config->run_as[0] != '\0') {
    if (DWORD err = RunAsAccount(g_config->run_as); err != ERROR_SUCCESS) {
      LogWrite(1, "Cannot run as %s. (%d)", g_config->run_as, static_cast<int>(err));
      SockClose(g_listen);
      return StartupFailed(true);
    }
    LogWrite(3, "Running as %s.", g_config->run_as);
  }
  if (!SetConsoleCtrlHandler(TerminateFunc, TRUE)) {
    LogFailed(1, "SetConsoleCtrlHandler", GetLastError());
    SockClose(g_listen);
    return StartupFailed(true);
  }
  LogWrite(3, "Torva server is started.");
  AcceptLoop();
}
