// The informational and security command handlers, called directly on a
// loopback connection: flag combinations that a configuration file cannot
// produce (commands that start switched off), and argument edge cases.
#include "torvad/Info.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "torvad/ConfigTbl.h"
#include "torvad/FtpTbl.h"
#include "torvad/TlsCommands.h"

namespace {

const uint8_t kLoopback[4] = {127, 0, 0, 1};

using CommandHandler = int (*)(SOCKET, char*, FtpTbl*, const uint8_t*);

class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SockStartup(), 0);
    g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
    g_config->log_level = 0;  // keep the test output quiet
    // The classic start: every classic command on but these; the commands
    // beyond the classic set stay off.
    for (int id = 0; id < kClassicCommandCount; ++id) g_config->cmd_enable[id] = 1;
    for (CommandId id : {CMD_ACCT, CMD_SMNT, CMD_ADAT, CMD_CCC, CMD_MIC, CMD_CONF, CMD_ENC,
                         CMD_STRU, CMD_MODE, CMD_ALLO, CMD_ABOR, CMD_SITE})
      g_config->cmd_enable[id] = 0;
    FtpTblClear(&ftp_);

    SOCKET listener = SockCreate(WS_AF_INET, WS_SOCK_STREAM, 0);
    ASSERT_NE(listener, INVALID_SOCKET);
    ASSERT_EQ(SockBind(listener, WS_AF_INET, kLoopback, 0), 0);
    ASSERT_EQ(SockListen(listener, 1), 0);
    uint8_t addr[4];
    uint16_t port = 0;
    ASSERT_EQ(SockGetName(listener, addr, &port), 0);
    client_ = SockCreate(WS_AF_INET, WS_SOCK_STREAM, 0);
    ASSERT_EQ(SockConnect(client_, kLoopback, port, 5000), 0);
    server_ = SockAccept(listener, nullptr, nullptr);
    SockClose(listener);
    ASSERT_NE(server_, INVALID_SOCKET);
    SockSetTimeouts(client_, 5);
  }

  void TearDown() override {
    SockClose(client_);
    SockClose(server_);
    free(g_config);
    g_config = nullptr;
  }

  // Runs a handler with `arg` (nullptr: no argument; else CR LF is added as
  // the dispatcher leaves it) and returns its result.
  int Run(CommandHandler handler, const char* arg) {
    std::string text = arg ? std::string(arg) + "\r\n" : std::string();
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    return handler(server_, arg ? copy.data() : nullptr, &ftp_, kLoopback);
  }

  // Every line the handlers sent so far (their sends have finished when they
  // return, so the bytes are already waiting).
  std::vector<std::string> Sent() {
    std::string all;
    char buf[4096];
    while (SockWaitReadable(client_, 20) == 1) {
      int n = SockRecv(client_, buf, sizeof buf);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    std::vector<std::string> lines;
    size_t pos = 0;
    for (size_t end; (end = all.find("\r\n", pos)) != std::string::npos; pos = end + 2)
      lines.push_back(all.substr(pos, end - pos));
    EXPECT_EQ(pos, all.size()) << "a line without CR LF";
    return lines;
  }

  FtpTbl ftp_;
  SOCKET server_ = INVALID_SOCKET;
  SOCKET client_ = INVALID_SOCKET;
};

using Lines = std::vector<std::string>;

TEST_F(HandlerTest, FeatListsEverySecurityFeatureInOrderWhenSwitchedOn) {
  g_config->auth_mechanism = AUTH_TLS;
  for (CommandId id : {CMD_ADAT, CMD_CCC, CMD_MIC, CMD_CONF, CMD_ENC}) g_config->cmd_enable[id] = 1;
  ftp_.utf8_mode = 1;
  ftp_.lang = LANG_EN;
  EXPECT_EQ(Run(CmdFeat, "ignored"), 0);
  EXPECT_EQ(Sent(), (Lines{"211-Extensions supported:", " SIZE", " AUTH", " ADAT", " PROT", " PBSZ",
                           " CCC", " MIC", " CONF", " ENC", " UTF8", " LANG EN*;JA", "211 END"}));
}

TEST_F(HandlerTest, FeatAnyOneSecurityFlagKeepsTheListWithoutSize) {
  g_config->auth_mechanism = AUTH_SSL;
  g_config->cmd_enable[CMD_SIZE] = 0;
  for (CommandId id : {CMD_AUTH, CMD_PROT, CMD_PBSZ}) g_config->cmd_enable[id] = 0;
  g_config->cmd_enable[CMD_MIC] = 1;
  EXPECT_EQ(Run(CmdFeat, nullptr), 0);
  EXPECT_EQ(Sent(), (Lines{"211-Extensions supported:", " MIC", "211 END"}));
  g_config->cmd_enable[CMD_MIC] = 0;
  ftp_.utf8_mode = 1;  // UTF8 alone does not make a feature list
  EXPECT_EQ(Run(CmdFeat, nullptr), 0);
  EXPECT_EQ(Sent(), (Lines{"211 No features."}));
}

TEST_F(HandlerTest, HelpMarksEachCommandAtItsOwnPlace) {
  ftp_.logged_in = 1;
  // Switch every classic command on, then each one off alone: exactly its
  // mark moves.
  for (int id = 0; id < kClassicCommandCount; ++id) g_config->cmd_enable[id] = 1;
  ASSERT_EQ(Run(CmdHelp, nullptr), 0);
  Lines all_on = Sent();
  ASSERT_EQ(all_on.size(), 11u);
  for (size_t i = 1; i < 10; ++i) EXPECT_EQ(all_on[i].find('*'), std::string::npos) << all_on[i];
  for (int id = 0; id < kClassicCommandCount; ++id) {
    g_config->cmd_enable[id] = 0;
    ASSERT_EQ(Run(CmdHelp, nullptr), 0);
    Lines got = Sent();
    g_config->cmd_enable[id] = 1;
    ASSERT_EQ(got.size(), 11u);
    int stars = 0;
    EXPECT_EQ(got[0], all_on[0]);
    EXPECT_EQ(got[10], "214 End of HELP.");
    for (size_t i = 1; i < 10; ++i) {
      for (size_t pos = got[i].find('*'); pos != std::string::npos;
           pos = got[i].find('*', pos + 1)) {
        ++stars;
        // The mark follows the command's name directly.
        std::string name = CommandName(id);
        ASSERT_GE(pos, name.size());
        EXPECT_EQ(got[i].substr(pos - name.size(), name.size()), name) << got[i];
        EXPECT_EQ(got[i].substr(0, pos) + " " + got[i].substr(pos + 1), all_on[i]);
      }
    }
    EXPECT_EQ(stars, 1) << CommandName(id);
  }
}

TEST_F(HandlerTest, HelpAndStatEndASessionThatIsNotLoggedIn) {
  EXPECT_EQ(Run(CmdHelp, nullptr), -1);
  EXPECT_EQ(Run(CmdStat, "x"), -1);
  EXPECT_EQ(Sent(), (Lines{"530 Not logged in.", "530 Not logged in."}));
}

TEST_F(HandlerTest, StatShowsTypeAndUtf8) {
  ftp_.logged_in = 1;
  strcpy(ftp_.user_name, "bob");
  ftp_.binary_type = 1;
  ftp_.utf8_mode = 1;
  ftp_.lang = LANG_EN;
  EXPECT_EQ(Run(CmdStat, nullptr), 0);
  EXPECT_EQ(Sent(), (Lines{"221-FTP Service status:", " USER: bob", " TYPE: binary", " STRU: file",
                           " MODE: stream", " UTF8: on", "221 End of status."}));
}

TEST_F(HandlerTest, LangCutsAtFourCharactersOrCarriageReturn) {
  ftp_.utf8_mode = 1;
  ftp_.lang = LANG_EN;
  EXPECT_EQ(Run(CmdLang, ""), 0);  // only CR LF: nothing to match
  EXPECT_EQ(ftp_.lang, LANG_EN);
  EXPECT_EQ(Run(CmdLang, "ja"), 0);
  EXPECT_EQ(ftp_.lang, LANG_JA);
  EXPECT_EQ(Run(CmdLang, "e"), 0);
  EXPECT_EQ(ftp_.lang, LANG_JA);
  EXPECT_EQ(Run(CmdLang, "eN_US.UTF-8"), 0);
  EXPECT_EQ(ftp_.lang, LANG_EN);
  EXPECT_EQ(Sent(), (Lines{"504 Unsupported parameter.", "200 LANG okay.",
                           "504 Unsupported parameter.", "200 LANG okay."}));
}

TEST_F(HandlerTest, OptsNeedsTheConfigurationSwitch) {
  EXPECT_EQ(Run(CmdOpts, "UTF8 ON"), 0);
  EXPECT_EQ(ftp_.utf8_mode, 0);
  g_config->opts_impl_utf8 = 1;
  EXPECT_EQ(Run(CmdOpts, "utf8 on"), 0);
  EXPECT_EQ(ftp_.utf8_mode, 1);
  EXPECT_EQ(Run(CmdOpts, "UTF8OFFLINE"), 0);  // only the beginning counts
  EXPECT_EQ(ftp_.utf8_mode, 0);
  EXPECT_EQ(Sent(), (Lines{"451 Options bad.", "200 utf8-mode = on.", "200 utf8-mode = off."}));
}

TEST_F(HandlerTest, SecurityCommandsWithoutTlsEndTheSession) {
  EXPECT_EQ(Run(CmdAuth, nullptr), -1);
  EXPECT_EQ(Run(CmdAuth, "TLS"), -1);  // no context was made
  EXPECT_EQ(Run(CmdPbsz, "0"), -1);
  EXPECT_EQ(Run(CmdProt, "P"), -1);
  EXPECT_EQ(ftp_.prot_level, 0);
  EXPECT_EQ(Sent(), (Lines{"501 Syntax error in parameters or arguments.",
                           "502 Command not implemented for that parameter.",
                           "503 Security data exchange has not completed.",
                           "503 Security data exchange has not completed."}));
}

}  // namespace
