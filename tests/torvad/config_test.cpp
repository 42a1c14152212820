// Reading torvad.conf: the key table, its messages, list keys, the passive
// port ring and the settings listing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "torvad/ConfigLoad.h"
#include "torvad/ConfigSetup.h"
#include "torvad/ConfigTbl.h"
#include "torvad/FailureList.h"
#include "torvad/PasvPorts.h"
#include "torvad/TrimString.h"

namespace {

uint16_t Host(uint16_t net) { return static_cast<uint16_t>((net >> 8) | (net << 8)); }

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("LANG");
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
    g_config->log_level = 4;
    g_config->list_type_unix = 1;
    char tmpl[] = "/tmp/torva-conf-XXXXXX";
    int fd = mkstemp(tmpl);
    close(fd);
    path_ = tmpl;
  }
  void TearDown() override {
    unlink(path_.c_str());
    PasvPortReset();
    DisconReset();
    free(g_config->ready_message);
    free(g_config->anonymous_path);
    free(g_config);
    g_config = nullptr;
  }
  // Loads `text` and returns what the loader printed.
  std::string Load(const std::string& text, int* rc) {
    std::ofstream(path_) << text;
    testing::internal::CaptureStdout();
    *rc = ConfigLoad(path_.c_str());
    return testing::internal::GetCapturedStdout();
  }
  std::string path_;
};

TEST(TrimStringTest, TrimsBlanksTabsAndCutsAtLineEnds) {
  char a[] = " \t value with inner  blanks \t\r\nrest";
  EXPECT_STREQ(TrimString(a), "value with inner  blanks");
  char b[] = "   ";
  EXPECT_STREQ(TrimString(b), "");
  char c[] = "x\ny";
  EXPECT_STREQ(TrimString(c), "x");
}

TEST_F(ConfigTest, KeysValuesAndTheirMessages) {
  int rc = 0;
  std::string out = Load(
      "# a comment\n"
      "\n"
      "no equals sign here\n"
      "  log-level = 3 \n"
      "LOG-LEVEL=5\n"
      "  # key=value\n"
      "buffer-size=100\n"
      "auth-mechanism=tls\n"
      "ignore-command=USER\n"
      "ignore-command=BOGUS\n"
      "pasv-addr=192.168.0.10\n"
      "time-flag=ON\n"
      "dump-log=on\n"
      "unknown-command=close\n"
      "anonymous=enable\n"
      "anonymous-pass=guest\n"
      "anonymous-pass=nobody\n"
      "default-lang=fr\n"
      "list-type-LIST=nameonly\n"
      "list-type-NLST=weird\n"
      "max-connect=7\n"
      "max-connect=9\n"
      "ready-message=first\n"
      "ready-message= Welcome here \n"
      "dir-separator=/x\n",
      &rc);
  EXPECT_EQ(rc, 0);
  const ConfigTbl& c = *g_config;
  EXPECT_EQ(c.log_level, 3);
  EXPECT_NE(out.find("[W] Unknown Config : param=LOG-LEVEL value=5"), std::string::npos) << out;
  EXPECT_NE(out.find("[W] Unknown Config : param=# key value=value"), std::string::npos) << out;
  EXPECT_EQ(c.buffer_size, 4096);
  EXPECT_EQ(c.auth_mechanism, AUTH_NONE);
  EXPECT_NE(out.find("auth-mechanism=tls is unknown."), std::string::npos);
  EXPECT_EQ(c.cmd_enable[CMD_USER], 0);
  EXPECT_EQ(c.cmd_enable[CMD_PASS], 1);
  EXPECT_EQ(c.cmd_enable[CMD_ACCT], 0);  // off from the start
  EXPECT_NE(out.find("Unknown command in ignore-command. (BOGUS)"), std::string::npos);
  EXPECT_STREQ(c.pasv_addr, "192,168,0,10");
  EXPECT_EQ(c.time_flag, 0);  // only "on" switches a flag on
  EXPECT_EQ(c.dump_log, 1);
  EXPECT_EQ(c.unknown_close, 1);
  EXPECT_EQ(c.anonymous, 1);
  EXPECT_EQ(c.anonymous_pass, 1);  // the bad value keeps the previous one
  EXPECT_NE(out.find("anonymous-pass=nobody is unknown."), std::string::npos);
  EXPECT_EQ(c.default_lang, LANG_EN);
  EXPECT_NE(out.find("Unknown language: fr"), std::string::npos);
  EXPECT_EQ(c.list_type_list, LIST_NAMEONLY);
  EXPECT_EQ(c.list_type_nlst, LIST_UNSET);
  EXPECT_EQ(c.max_connect, 9);
  EXPECT_STREQ(c.ready_message, "Welcome here");
  EXPECT_EQ(c.dir_separator, '/');
}

TEST_F(ConfigTest, FatalValuesStopLoading) {
  int rc = 0;
  std::string out = Load("socket-domain=AF_INET\nsocket-type=SOCK_BOGUS\nmax-connect=5\n", &rc);
  EXPECT_EQ(rc, -1);
  EXPECT_NE(out.find("socket-type=SOCK_BOGUS is not support."), std::string::npos) << out;
  EXPECT_EQ(g_config->max_connect, 0);  // nothing after the fatal line was read
  EXPECT_EQ(g_config->socket_domain, 2);

  std::ofstream(path_) << "x=1\n";
  unlink(path_.c_str());
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConfigLoad(path_.c_str()), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find(path_ + " was not found!"),
            std::string::npos);
}

TEST_F(ConfigTest, PassivePortRingHandsPortsOutInTurn) {
  int rc = 0;
  Load("pasv-port=50010-50000\npasv-port=40000\npasv-port=65535-65530\n", &rc);
  ASSERT_EQ(rc, 0);
  // 11 + 1 + the range up to the highest port (65530..65535).
  ASSERT_EQ(g_config->pasv_port_count, 18);
  for (int p = 50000; p <= 50010; ++p) EXPECT_EQ(Host(PasvPortNext()), p);
  EXPECT_EQ(Host(PasvPortNext()), 40000);
  for (int p = 65530; p <= 65535; ++p) EXPECT_EQ(Host(PasvPortNext()), p);
  EXPECT_EQ(Host(PasvPortNext()), 50000);  // a ring: back to the first
}

TEST_F(ConfigTest, NoPassivePortsMeansOneEntryOfPortZero) {
  int rc = 0;
  Load("max-connect=1\n", &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(g_config->pasv_port_count, 1);
  EXPECT_EQ(PasvPortNext(), 0);
  EXPECT_EQ(PasvPortNext(), 0);
}

TEST_F(ConfigTest, OverlongLinesAndOddBytesNeitherCrashNorOverflow) {
  std::string longvalue(5000, 'h');
  std::string odd = "bind-host=\x01\xff\x80";
  odd += '\0';
  odd += "tail\n";
  int rc = 0;
  Load("bind-host=" + longvalue + "\n" + "socket-protocol=" + longvalue + "\n" +
           "pasv-bind=" + std::string(300, 'p') + "\n" + odd + "disconnect=" + longvalue + "\n",
       &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_LE(strlen(g_config->protocol_name), 31u);
  EXPECT_LE(strlen(g_config->pasv_bind), 255u);
  EXPECT_STREQ(g_config->bind_host, "\x01\xff\x80");
}

TEST_F(ConfigTest, SetupResolvesPortsAndTheSettingsListingFollowsTheTable) {
  int rc = 0;
  Load(
      "bind-host=127.0.0.1\nbind-port=ftp\nsocket-domain=AF_INET\nsocket-type=SOCK_STREAM\n"
      "pasv-port=50001-50002\ndisconnect=10.1.0.0/255.255.0.0\ndisconnect=10.2.3\n"
      "ignore-command=DELE\nutf8-ctrl-only=on\n",
      &rc);
  ASSERT_EQ(rc, 0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ConfigSetup(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Host(g_config->port), 21);  // looked up as a service name
  EXPECT_EQ(g_config->dir_separator, '\\');
  EXPECT_EQ(g_config->pasv_wait, 3);
  EXPECT_STREQ(g_config->pasv_bind, "127.0.0.1");
  EXPECT_EQ(g_config->bind_addr[0], 127);
  EXPECT_EQ(g_config->bind_addr[3], 1);

  testing::internal::CaptureStdout();
  ConfigShow();
  std::string out = testing::internal::GetCapturedStdout();
  const char* in_order[] = {"[I] ********** SHOW CONFIG - START **********",
                            "[I] ignore-command: [ACCT]",
                            "[I] ignore-command: [DELE]",
                            "[I] ignore-command: [MODE]",
                            "[I] auth-mechanism: [none]",
                            "[I] bind-port: [ftp/21]",
                            "[I] socket-protocol: [tcp/6]",
                            "[I] unkwnon-command: [keep]",
                            "[I] ready-message: (default)",
                            "[I] dir-separator: [\\]",
                            "[I] pasv-port(1): [50001]",
                            "[I] pasv-port(2): [50002]",
                            "[I] list-type-unix: [on]",
                            "[I] disconnect: 10.1.0.0 (255.255.0.0)",
                            "[I] anonymous-path: [(not defined)]",
                            "[I] no-list-dir: [off]",
                            "[I] utf8-ctrl-only: [on]",
                            "[I] default-lang: [en]",
                            "[I] SIZE-msg-compat: [off]",
                            "[I] ********** SHOW CONFIG - END **********"};
  size_t pos = 0;
  for (const char* line : in_order) {
    size_t at = out.find(std::string(line) + "\n", pos);
    ASSERT_NE(at, std::string::npos) << line << "\n" << out;
    pos = at;
  }
  // The malformed disconnect value was skipped, and the ring turned once.
  EXPECT_EQ(out.find("10.2.3"), std::string::npos);
  EXPECT_EQ(Host(PasvPortNext()), 50001);

  // A numeric port needs no look-up.
  strcpy(g_config->bind_port, "2121");
  testing::internal::CaptureStdout();
  ASSERT_EQ(ConfigSetup(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(Host(g_config->port), 2121);
}

TEST_F(ConfigTest, EnableCommandSwitchesOnWhatItNamesAndIgnoreCommandWins) {
  int rc = 0;
  std::string out = Load(
      "enable-command=REST\nenable-command=ABOR\nenable-command=SITE\n"
      "enable-command=rest\nignore-command=ABOR\nignore-command=MLSD\n"
      "enable-command=MLSD\nlist-standard=on\nfeat-utf8=ON\n",
      &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(g_config->cmd_enable[CMD_REST], 1);
  // Named by ignore-command, before or after enable-command: off.
  EXPECT_EQ(g_config->cmd_enable[CMD_ABOR], 0);
  EXPECT_EQ(g_config->cmd_enable[CMD_MLSD], 0);
  // Only the extensions and the four classic commands with handlers.
  EXPECT_EQ(g_config->cmd_enable[CMD_SITE], 0);
  EXPECT_NE(out.find("Unknown command in enable-command. (SITE)"), std::string::npos) << out;
  EXPECT_NE(out.find("Unknown command in enable-command. (rest)"), std::string::npos) << out;
  EXPECT_EQ(g_config->list_standard, 1);
  EXPECT_EQ(g_config->feat_utf8, 0);  // flags are "on" exactly

  testing::internal::CaptureStdout();
  ConfigShow();
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[I] enable-command: [REST]\n[I] list-standard: [on]\n"), std::string::npos)
      << out;
  EXPECT_EQ(out.find("enable-command: [ABOR]"), std::string::npos) << out;
  EXPECT_EQ(out.find("feat-utf8"), std::string::npos) << out;
}

TEST_F(ConfigTest, WithoutTheNewKeysEveryExtensionIsOff) {
  int rc = 0;
  std::string out = Load("log-level=3\n", &rc);
  ASSERT_EQ(rc, 0);
  for (int id = kClassicCommandCount; id < CMD_COUNT; ++id)
    EXPECT_EQ(g_config->cmd_enable[id], 0) << CommandName(id);
  for (CommandId id : {CMD_ABOR, CMD_ALLO, CMD_MODE, CMD_STRU})
    EXPECT_EQ(g_config->cmd_enable[id], 0) << CommandName(id);
  EXPECT_EQ(g_config->list_standard, 0);
  EXPECT_EQ(g_config->feat_utf8, 0);
  testing::internal::CaptureStdout();
  ConfigShow();
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("enable-command"), std::string::npos);
  EXPECT_EQ(out.find("list-standard"), std::string::npos);
}

TEST_F(ConfigTest, AnIpv6ServerResolvesItsHostsAsIpv6) {
  int rc = 0;
  Load(
      "socket-domain=AF_INET6\nsocket-type=SOCK_STREAM\nbind-host=::\nbind-port=2121\n"
      "pasv-bind=127.0.0.1\n",
      &rc);
  ASSERT_EQ(rc, 0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(ConfigSetup(), 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("IP length=16"), std::string::npos) << out;
  EXPECT_EQ(g_config->addr_length, 16);
  const uint8_t any[16] = {};
  EXPECT_EQ(memcmp(g_config->bind_addr, any, 16), 0);
  // An IPv4 name becomes its mapped address.
  const uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
  EXPECT_EQ(memcmp(g_config->pasv_bind_addr, mapped, 16), 0);
}

TEST_F(ConfigTest, OperationsKeysAreOffWhenAbsentAndListedOnlyWhenSet) {
  int rc = 0;
  Load("max-connect=1\n", &rc);
  ASSERT_EQ(rc, 0);
  const ConfigTbl& c = *g_config;
  EXPECT_EQ(c.require_tls + c.tls13 + c.require_ssl_reuse + c.failure_needs_password, 0);
  EXPECT_EQ(c.sjis_table, SJIS_TABLE_JIS0208);
  EXPECT_STREQ(c.run_as, "");
  testing::internal::CaptureStdout();
  ConfigShow();
  std::string classic = testing::internal::GetCapturedStdout();
  for (const char* key : {"require-tls", "tls13", "require-ssl-reuse", "failure-needs-password",
                          "sjis-table", "run-as"}) {
    EXPECT_EQ(classic.find(key), std::string::npos) << key;
  }

  PasvPortReset();
  std::string out = Load(
      "require-tls=on\ntls13=on\nrequire-ssl-reuse=on\nfailure-needs-password=on\n"
      "sjis-table=cp932\nsjis-table=CP932\nrun-as= torva \n",
      &rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(c.require_tls + c.tls13 + c.require_ssl_reuse + c.failure_needs_password, 4);
  EXPECT_EQ(c.sjis_table, SJIS_TABLE_CP932);  // a bad value keeps the previous one
  EXPECT_NE(out.find("[W] sjis-table=CP932 is unknown."), std::string::npos) << out;
  EXPECT_STREQ(c.run_as, "torva");
  testing::internal::CaptureStdout();
  ConfigShow();
  std::string shown = testing::internal::GetCapturedStdout();
  for (const char* line :
       {"[I] require-tls: [on]", "[I] tls13: [on]", "[I] require-ssl-reuse: [on]",
        "[I] failure-needs-password: [on]", "[I] sjis-table: [cp932]", "[I] run-as: [torva]"}) {
    EXPECT_NE(shown.find(std::string(line) + "\n"), std::string::npos) << line;
  }

  PasvPortReset();
  Load("sjis-table=jis0208\nrun-as=\n", &rc);
  EXPECT_EQ(c.sjis_table, SJIS_TABLE_JIS0208);
  EXPECT_STREQ(c.run_as, "");
}

}  // namespace
