// The disconnect list (address/mask entries and disconnect files) and the
// failure counts that write disconnect files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/torva.h"
#include "platform/registry.h"
#include "torvad/ConfigTbl.h"
#include "torvad/FailureList.h"

namespace {

namespace fs = std::filesystem;

class FailureListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
    g_config->log_level = 4;
    char tmpl[] = "/tmp/torva-fl-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    dc_dir_ = dir_ + "/dclist";
    fs::create_directory(dc_dir_);
    const char* old = getenv("TORVA_REGISTRY");
    if (old != nullptr) old_registry_ = old;
    had_registry_ = old != nullptr;
    setenv("TORVA_REGISTRY", (dir_ + "/registry.reg").c_str(), 1);
  }
  void TearDown() override {
    DisconReset();
    if (had_registry_)
      setenv("TORVA_REGISTRY", old_registry_.c_str(), 1);
    else
      unsetenv("TORVA_REGISTRY");
    fs::remove_all(dir_);
    free(g_config);
    g_config = nullptr;
  }

  void SetDisconnectDir(const std::string& value) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, torva::kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                             nullptr, &key, nullptr),
              0);
    ASSERT_EQ(RegSetValueEx(key, torva::kValueDisconnectDir, 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>(value.size() + 1)),
              0);
    RegCloseKey(key);
  }

  // Runs `f` and returns what it wrote to the log (stdout).
  template <typename F>
  static std::string Logged(F f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
  }

  static int Check(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t addr[4] = {a, b, c, d};
    return discon_check(addr);
  }

  std::string dir_, dc_dir_, old_registry_;
  bool had_registry_ = false;
};

TEST_F(FailureListTest, EntriesMatchUnderTheirMasks) {
  SetDisconnectDir(dc_dir_);
  std::string log = Logged([] {
    EXPECT_EQ(discon_add("10.1.0.0/255.255.0.0", 0), 0);
    EXPECT_EQ(discon_add("192.168.1.10", 0), 0);
    // A part outside 0..255 names no address; start-up stops on it.
    EXPECT_EQ(discon_add("300.2.3.-1", 0), -1);
    EXPECT_EQ(discon_add("10.2.3", 0), 0);
    EXPECT_EQ(discon_add("172.16.0.0/255.255", 0), 0);
  });
  EXPECT_NE(log.find("disconnect format error. (10.2.3)"), std::string::npos) << log;
  EXPECT_NE(log.find("disconnect format error. (172.16.0.0/255.255)"), std::string::npos) << log;
  EXPECT_NE(log.find("disconnect=300.2.3.-1 is out of range."), std::string::npos) << log;

  static std::string listed;
  listed.clear();
  DisconForEach([](const uint8_t a[4], const uint8_t m[4]) {
    char text[48];
    snprintf(text, sizeof text, "%d.%d.%d.%d/%d.%d.%d.%d ", a[0], a[1], a[2], a[3], m[0], m[1],
             m[2], m[3]);
    listed += text;
  });
  EXPECT_EQ(listed, "10.1.0.0/255.255.0.0 192.168.1.10/255.255.255.255 ");

  log = Logged([] {
    EXPECT_EQ(Check(10, 1, 200, 7), 1);
    EXPECT_EQ(Check(10, 1, 0, 0), 1);
    EXPECT_EQ(Check(10, 2, 0, 1), 0);
    EXPECT_EQ(Check(192, 168, 1, 10), 1);
    EXPECT_EQ(Check(192, 168, 1, 11), 0);
    EXPECT_EQ(Check(44, 2, 3, 255), 0);  // 300 is not taken as 44
    EXPECT_EQ(Check(10, 2, 3, 0), 0);
    EXPECT_EQ(Check(172, 16, 0, 1), 0);
  });
  EXPECT_NE(log.find("Disconnected. (10.1.200.7)"), std::string::npos) << log;
  EXPECT_EQ(log.find("Disconnected. (44.2.3.255)"), std::string::npos) << log;
  EXPECT_EQ(log.find("Disconnected. (10.2.0.1)"), std::string::npos) << log;
}

TEST_F(FailureListTest, DisconnectFilesBanTheirAddressOnly) {
  SetDisconnectDir(dc_dir_);
  fclose(fopen((dc_dir_ + "/C0A8010A.dca").c_str(), "w"));
  fclose(fopen((dc_dir_ + "/c0a8010b.dca").c_str(), "w"));  // not the name pattern
  fs::create_directory(dc_dir_ + "/C0A8010C.dca");
  EXPECT_EQ(Check(192, 168, 1, 10), 1);
  EXPECT_EQ(Check(192, 168, 1, 11), 0);
  EXPECT_EQ(Check(192, 168, 1, 12), 0);
}

TEST_F(FailureListTest, TheLimitWritesOneFilePerRun) {
  SetDisconnectDir(dc_dir_);
  g_config->failure_limit = 2;
  const uint8_t a[4] = {192, 168, 1, 10};
  const std::string file = dc_dir_ + "/C0A8010A.dca";

  std::string log = Logged([&] { EXPECT_EQ(FailureListAdd(a), 0); });
  EXPECT_NE(log.find("Failure count of 192.168.1.10: 1"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(file));

  testing::internal::CaptureStderr();
  log = Logged([&] { EXPECT_EQ(FailureListAdd(a), 0); });
  std::string access = testing::internal::GetCapturedStderr();
  EXPECT_NE(log.find("Failure count of 192.168.1.10: 2"), std::string::npos) << log;
  EXPECT_NE(log.find("Return value of discon_add=0"), std::string::npos) << log;
  EXPECT_NE(access.find("Added to the disconnect list: 192.168.1.10"), std::string::npos) << access;
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);

  // Another address keeps its own count.
  const uint8_t b[4] = {192, 168, 1, 11};
  log = Logged([&] { EXPECT_EQ(FailureListAdd(b), 0); });
  EXPECT_NE(log.find("Failure count of 192.168.1.11: 1"), std::string::npos) << log;

  // Reset, and the limit reached again: no second file.
  fs::remove(file);
  log = Logged([&] {
    EXPECT_EQ(FailureListReset(a), 0);
    EXPECT_EQ(FailureListAdd(a), 0);
    EXPECT_EQ(FailureListAdd(a), 0);
    EXPECT_EQ(FailureListAdd(a), 0);
  });
  EXPECT_NE(log.find("Failure count of 192.168.1.10: 0"), std::string::npos) << log;
  EXPECT_NE(log.find("Failure count of 192.168.1.10: 3"), std::string::npos) << log;
  EXPECT_EQ(log.find("discon_add"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(file));

  const uint8_t c[4] = {9, 9, 9, 9};
  log = Logged([&] { EXPECT_EQ(FailureListReset(c), 0); });
  EXPECT_NE(log.find("Not exist the 9.9.9.9 in failure list."), std::string::npos) << log;
}

TEST_F(FailureListTest, UnwritableDirectoryIsLoggedAndCountingGoesOn) {
  SetDisconnectDir(dir_ + "/missing");
  g_config->failure_limit = 1;
  const uint8_t a[4] = {10, 0, 0, 7};
  std::string log = Logged([&] {
    EXPECT_EQ(FailureListAdd(a), 0);
    EXPECT_EQ(FailureListAdd(a), 0);
  });
  EXPECT_NE(log.find("Cannot create \"" + dir_ + "/missing/0A000007.dca\" ("), std::string::npos)
      << log;
  EXPECT_NE(log.find("Failure count of 10.0.0.7: 2"), std::string::npos) << log;
}

SockAddress V6(const char* text) {
  SockAddress a{};
  a.family = WS_AF_INET6;
  EXPECT_EQ(InetPton(WS_AF_INET6, text, a.addr), 1) << text;
  return a;
}

TEST_F(FailureListTest, Ipv6AddressesAreBannedByEntryAndByFile) {
  SetDisconnectDir(dc_dir_);
  std::string log = Logged([] {
    EXPECT_EQ(discon_add("2001:db8::/32", 0), 0);
    EXPECT_EQ(discon_add("fe80::1/129", 0), 0);
    EXPECT_EQ(discon_add("fe80::1/4294967314", 0), 0);  // wraps to 18 if read as an int
    EXPECT_EQ(discon_add("fe80::1/2147483666", 0), 0);  // wraps negative
    EXPECT_EQ(discon_add("fe80::zz", 0), 0);
  });
  EXPECT_NE(log.find("disconnect format error. (fe80::1/129)"), std::string::npos) << log;
  EXPECT_NE(log.find("disconnect format error. (fe80::1/4294967314)"), std::string::npos) << log;
  EXPECT_NE(log.find("disconnect format error. (fe80::1/2147483666)"), std::string::npos) << log;
  EXPECT_NE(log.find("disconnect format error. (fe80::zz)"), std::string::npos) << log;
  log = Logged([] {
    EXPECT_EQ(discon_check(V6("2001:db8:ffff::7")), 1);
    EXPECT_EQ(discon_check(V6("2001:db9::7")), 0);
    // The IPv4 entries never match an IPv6 address of the same bytes.
    EXPECT_EQ(discon_check(V6("::1")), 0);
  });
  EXPECT_NE(log.find("Disconnected. (2001:db8:ffff::7)"), std::string::npos) << log;

  // The failure limit writes the file named by the 32 hex digits.
  g_config->failure_limit = 2;
  const SockAddress a = V6("fd00::abcd");
  log = Logged([&] {
    EXPECT_EQ(FailureListAdd(a), 0);
    EXPECT_EQ(FailureListAdd(a), 0);
  });
  EXPECT_NE(log.find("Failure count of fd00::abcd: 2"), std::string::npos) << log;
  EXPECT_TRUE(fs::exists(dc_dir_ + "/FD00000000000000000000000000ABCD.dca")) << log;
  log = Logged([&] { EXPECT_EQ(discon_check(a), 1); });
  EXPECT_NE(log.find("Disconnected. (fd00::abcd)"), std::string::npos) << log;
  // An IPv4 client counts under its IPv4 address only.
  const uint8_t four[4] = {253, 0, 0, 0};
  EXPECT_EQ(discon_check(four), 0);
}

}  // namespace
