// Service control without a running service: the service table's database
// and run-time state, systemd's unit files, and the dispatcher's refusal
// outside a service manager.
#include "platform/service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "../common/scratch.h"
#include "platform/registry.h"

namespace {

constexpr char kKey[] = "SYSTEM\\CurrentControlSet\\Services\\torvad";

class ServiceTest : public ::testing::Test {
 protected:
  void Use(const char* manager) {
    scratch_.Set("TORVA_SERVICE_MANAGER", manager);
    scratch_.Set("TORVA_SYSTEMD_DIR", scratch_.Path("systemd"));
  }
  SC_HANDLE Create(SC_HANDLE scm, const char* image = "/opt/torva/bin/tvwatch") {
    return CreateService(scm, "torvad", "Torva Server", SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image,
                         nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  // A value of the service's key as text ("0x10" for a DWORD).
  std::string Value(const char* name, DWORD* type_out = nullptr) {
    HKEY k = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS)
      return "<no key>";
    char buf[512] = {};
    DWORD size = sizeof buf, type = 0;
    LONG rc = RegQueryValueEx(k, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(k);
    if (rc != ERROR_SUCCESS) return "<none>";
    if (type_out) *type_out = type;
    if (type == REG_DWORD) {
      DWORD v;
      memcpy(&v, buf, 4);
      char hex[16];
      snprintf(hex, sizeof hex, "0x%x", v);
      return hex;
    }
    return buf;
  }
  torva_test::Scratch scratch_;
};

TEST_F(ServiceTest, TableKeepsTheServiceWhereWindowsDoes) {
  Use("table");
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE svc = Create(scm);
  ASSERT_NE(svc, nullptr);
  DWORD type = 0;
  EXPECT_EQ(Value("Type"), "0x10");
  EXPECT_EQ(Value("Start"), "0x2");
  EXPECT_EQ(Value("ErrorControl"), "0x1");
  EXPECT_EQ(Value("ImagePath", &type), "/opt/torva/bin/tvwatch");
  EXPECT_EQ(type, REG_EXPAND_SZ);
  EXPECT_EQ(Value("DisplayName", &type), "Torva Server");
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(Value("ObjectName"), "LocalSystem");
  EXPECT_EQ(Create(scm), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);

  SERVICE_STATUS st{};
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_STOP, &st));
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  EXPECT_FALSE(ControlService(svc, SERVICE_CONTROL_SHUTDOWN, &st));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // The image does not exist: the start fails as CreateProcess would.
  EXPECT_FALSE(StartService(svc, 0, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);

  ASSERT_TRUE(DeleteService(svc));
  EXPECT_EQ(Value("Type"), "<no key>");
  CloseServiceHandle(svc);
  EXPECT_EQ(OpenService(scm, "torvad", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_EQ(OpenService(scm, "tor/vad", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  CloseServiceHandle(scm);
}

// A service whose process ended without reporting SERVICE_STOPPED reads as
// stopped abnormally; one marked for deletion while running goes once it is
// found stopped.
TEST_F(ServiceTest, TableServiceWhoseProcessDiedReadsAsStopped) {
  Use("table");
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE svc = Create(scm);
  ASSERT_NE(svc, nullptr);
  pid_t pid = fork();
  if (pid == 0) _exit(0);
  ASSERT_GT(pid, 0);
  waitpid(pid, nullptr, 0);
  mkdir(scratch_.Path("run").c_str(), 0755);
  torva_test::Scratch::Write(scratch_.Path("run/torvad.status"),
                             "pid " + std::to_string(pid) +
                                 "\nstart 1\nconnected 1\ntype 16\nstate 4\ncontrols 5\n"
                                 "win32 0\nspecific 0\ncheckpoint 0\nwaithint 0\n");
  SERVICE_STATUS st{};
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(st.dwWin32ExitCode, ERROR_PROCESS_ABORTED);

  // Running (this test process stands in for it): deletion only marks it.
  torva_test::Scratch::Write(scratch_.Path("run/torvad.status"),
                             "pid " + std::to_string(getpid()) + "\nstart " +
                                 std::to_string(LLONG_MAX) +
                                 "\nconnected 1\ntype 16\nstate 2\ncontrols 0\n"
                                 "win32 0\nspecific 0\ncheckpoint 1\nwaithint 10000\n");
  ASSERT_TRUE(QueryServiceStatus(svc, &st));
  EXPECT_EQ(st.dwCurrentState, SERVICE_STOPPED) << "another process with this id";
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
}

TEST_F(ServiceTest, ReadOnlyStoreRefusesTheManagerWithFullAccess) {
  Use("table");
  std::string dir = scratch_.Path("ro");
  mkdir(dir.c_str(), 0555);
  scratch_.Set("TORVA_REGISTRY", dir + "/registry.reg");
  EXPECT_EQ(OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  EXPECT_NE(scm, nullptr);
  CloseServiceHandle(scm);
  chmod(dir.c_str(), 0755);
  scratch_.Set("TORVA_SERVICE_MANAGER", "windows");
  EXPECT_EQ(OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(ServiceTest, SystemdUnitIsWrittenEnabledAndRemoved) {
  Use("systemd");
  SC_HANDLE scm = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  scratch_.Unset("TORVA_REGISTRY");
  scratch_.Unset("TORVA_EVENTLOG");
  SC_HANDLE svc = Create(scm);
  ASSERT_NE(svc, nullptr);
  std::string unit = scratch_.Path("systemd/torvad.service");
  EXPECT_EQ(torva_test::Scratch::Read(unit),
            "[Unit]\nDescription=Torva Server\n\n[Service]\nType=notify\n"
            "ExecStart=/opt/torva/bin/tvwatch\nKillMode=mixed\nRestart=no\n\n"
            "[Install]\nWantedBy=multi-user.target\n");
  char target[512] = {};
  ASSERT_GT(readlink(scratch_.Path("systemd/multi-user.target.wants/torvad.service").c_str(),
                     target, sizeof target - 1),
            0);
  EXPECT_EQ(std::string(target), unit);
  EXPECT_EQ(Create(scm), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
  ASSERT_TRUE(DeleteService(svc));
  CloseServiceHandle(svc);
  struct stat st;
  EXPECT_NE(stat(unit.c_str(), &st), 0);
  EXPECT_NE(lstat(scratch_.Path("systemd/multi-user.target.wants/torvad.service").c_str(), &st), 0);
  EXPECT_EQ(OpenService(scm, "torvad", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);

  // A path with blanks and specifier characters, and the installer's store.
  scratch_.Set("TORVA_REGISTRY", std::string("/srv/reg store.reg"));
  svc = Create(scm, "/srv/My Torva%/bin/tvwatch");
  ASSERT_NE(svc, nullptr);
  std::string text = torva_test::Scratch::Read(unit);
  EXPECT_NE(text.find("\nExecStart=\"/srv/My Torva%%/bin/tvwatch\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\nEnvironment=\"TORVA_REGISTRY=/srv/reg store.reg\"\n"), std::string::npos)
      << text;
  struct stat sb;
  if (stat("/run/systemd/system", &sb) != 0) {
    SERVICE_STATUS ss;
    EXPECT_FALSE(QueryServiceStatus(svc, &ss)) << "no systemd runs here";
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
  }
  CloseServiceHandle(svc);
  CloseServiceHandle(scm);
}

void WINAPI NeverRuns(DWORD, char**) { ADD_FAILURE() << "service main ran outside a manager"; }

TEST_F(ServiceTest, DispatcherOutsideAServiceManagerFails) {
  char name[] = "torvad";
  const SERVICE_TABLE_ENTRY table[] = {{name, NeverRuns}, {nullptr, nullptr}};
  Use("table");
  scratch_.Unset("TORVA_SERVICE_NAME");
  EXPECT_FALSE(StartServiceCtrlDispatcher(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  // Named, but the table does not know this process as the service.
  scratch_.Set("TORVA_SERVICE_NAME", "torvad");
  EXPECT_FALSE(StartServiceCtrlDispatcher(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  Use("systemd");
  scratch_.Unset("NOTIFY_SOCKET");
  EXPECT_FALSE(StartServiceCtrlDispatcher(table));
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(RegisterServiceCtrlHandler("torvad", nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

}  // namespace
