// Failure paths that an attack could reach and that are hard to drive from
// outside: a session thread whose start fails, and configuration lines that a
// NUL or their length would split.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/socket.h"
#include "platform/system.h"
#include "torvad/ConfigLoad.h"
#include "torvad/ConfigTbl.h"
#include "torvad/ConnectList.h"
#include "torvad/FailureList.h"
#include "torvad/PasvPorts.h"
#include "torvad/StartTrans.h"
#include "torvad/TransMain.h"

namespace {

class ServerState : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
    g_config->log_level = 0;
  }
  void TearDown() override {
    PasvPortReset();
    DisconReset();
    free(g_config->ready_message);
    free(g_config);
    g_config = nullptr;
  }
};

TEST_F(ServerState, AThreadThatCannotBeStartedGivesItsSlotBack) {
  const uint8_t v4[4] = {127, 0, 0, 1};
  const SockAddress addr = SockAddressV4(v4, 0);
  const int before = ConnectListCount();
  SOCKET s = SockCreate(WS_AF_INET, WS_SOCK_STREAM, 0);
  ASSERT_NE(s, INVALID_SOCKET);
  FailNextResumeThread(1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(StartTrans(s, addr), -1);
  EXPECT_EQ(ConnectListCount(), before);
  EXPECT_EQ(ConnectListCountFrom(addr), 0);
}

// A session thread let go just as termination emptied the list finds no
// entry: that is the end of the process, not a broken invariant. Run in a
// child process, as termination cannot be undone. Exits 0 when nothing was
// logged as a logic error.
[[noreturn]] void LateThreadAtTermination() {
  g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
  g_config->log_level = 4;
  DWORD tid = 0;
  HANDLE other = CreateThread(nullptr, 0, TransMain, nullptr, CREATE_SUSPENDED, &tid);
  const uint8_t v4[4] = {127, 0, 0, 1};
  ConnectListAdd(INVALID_SOCKET, tid, other, SockAddressV4(v4, 0));
  testing::internal::CaptureStdout();
  ConnectListTerm();
  TransMain(nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  // Ends as termination does, leaving what the ended sessions held.
  ExitProcess(out.find("Logic Error!!") == std::string::npos ? 0 : 1);
}

TEST(SessionStart, AThreadLateForAStoppingServerEndsQuietly) {
  // A child of its own: other tests may have left threads behind to fork from.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(LateThreadAtTermination(), ::testing::ExitedWithCode(0), "");
}

class ConfigLines : public ServerState {
 protected:
  void SetUp() override {
    ServerState::SetUp();
    char tmpl[] = "/tmp/torva-lines-XXXXXX";
    close(mkstemp(tmpl));
    path_ = tmpl;
  }
  void TearDown() override {
    unlink(path_.c_str());
    ServerState::TearDown();
  }
  std::string Load(const std::string& text, int* rc) {
    std::ofstream(path_, std::ios::binary) << text;
    g_config->log_level = 4;
    testing::internal::CaptureStdout();
    *rc = ConfigLoad(path_.c_str());
    return testing::internal::GetCapturedStdout();
  }
  std::string path_;
};

TEST_F(ConfigLines, ALineLongerThanTheBufferIsIgnoredAsAWhole) {
  int rc = 0;
  // A NUL must not hide how long the line is, and CR LF ends count as ends.
  const std::string nul_line = std::string("#x") + '\0' + std::string(1100, 'y') + "max-connect=9";
  std::string out =
      Load("max-connect=1\r\n" + nul_line + "\n" + std::string(1023, '#') +
               "\r\nsession-timeout=7\n#" + std::string(1022, 'z') + "failure-limit=3",
           &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(g_config->max_connect, 1);
  EXPECT_EQ(g_config->session_timeout, 7);
  EXPECT_EQ(g_config->failure_limit, 0);
  EXPECT_NE(out.find("[W] Line 2 of the configuration is too long and was ignored."),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[W] Line 5 of the configuration is too long and was ignored."),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Line 3 "), std::string::npos) << out;  // 1023 characters fit
}

}  // namespace
