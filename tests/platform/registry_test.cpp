// The registry store: Win32-shaped results over one shared text file.
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char kKey[] = "SOFTWARE\\Test Vendor\\Test App";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/torva-reg-XXXXXX";
    dir_ = mkdtemp(tmpl);
    path_ = dir_ + "/store.reg";
    setenv("TORVA_REGISTRY", path_.c_str(), 1);
  }
  void TearDown() override {
    chmod(path_.c_str(), 0644);
    chmod(dir_.c_str(), 0755);
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  HKEY Create(const char* sub = kKey) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyEx(HKEY_LOCAL_MACHINE, sub, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                             nullptr),
              0);
    return k;
  }
  std::string dir_, path_;
};

TEST_F(RegistryTest, ValuesOfEveryTypeSurviveTheStore) {
  HKEY k = Create();
  const char sz[] = "C:\\srv \"quoted\"";
  std::vector<BYTE> binary;
  binary.reserve(256);
  for (int i = 0; i < 256; ++i) binary.push_back(static_cast<BYTE>(i));
  // A string holding bytes outside printable ASCII (Shift_JIS "so" + katakana).
  const char odd[] = "\x83\x5c\xb1\x01tail";
  const BYTE dword[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_EQ(RegSetValueEx(k, "Sz", 0, REG_SZ, reinterpret_cast<const BYTE*>(sz), sizeof sz), 0);
  ASSERT_EQ(RegSetValueEx(k, "Exp", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(sz), sizeof sz),
            0);
  ASSERT_EQ(RegSetValueEx(k, "Bin", 0, REG_BINARY, binary.data(), 256), 0);
  ASSERT_EQ(RegSetValueEx(k, "Odd", 0, REG_SZ, reinterpret_cast<const BYTE*>(odd), sizeof odd), 0);
  ASSERT_EQ(RegSetValueEx(k, "Num", 0, REG_DWORD, dword, 4), 0);
  RegCloseKey(k);

  // A fresh handle reads what another process would read from the file.
  HKEY r = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &r), 0);
  struct Want {
    const char* name;
    DWORD type;
    std::vector<BYTE> bytes;
  };
  std::vector<Want> wants = {
      {"Sz", REG_SZ, std::vector<BYTE>(sz, sz + sizeof sz)},
      {"exp", REG_EXPAND_SZ, std::vector<BYTE>(sz, sz + sizeof sz)},  // names ignore case
      {"Bin", REG_BINARY, binary},
      {"Odd", REG_SZ, std::vector<BYTE>(odd, odd + sizeof odd)},
      {"Num", REG_DWORD, std::vector<BYTE>(dword, dword + 4)},
  };
  for (const auto& w : wants) {
    BYTE buf[512];
    DWORD size = sizeof buf, type = 0;
    ASSERT_EQ(RegQueryValueEx(r, w.name, nullptr, &type, buf, &size), 0) << w.name;
    EXPECT_EQ(type, w.type) << w.name;
    EXPECT_EQ(std::vector<BYTE>(buf, buf + size), w.bytes) << w.name;
  }
  RegCloseKey(r);

  std::ifstream f(path_);
  std::stringstream text;
  text << f.rdbuf();
  EXPECT_NE(text.str().find("\"Sz\"=\"C:\\\\srv \\\"quoted\\\"\""), std::string::npos)
      << text.str();
}

TEST_F(RegistryTest, MissingKeysAndValuesAndShortBuffers) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &k), 2);
  k = Create();
  BYTE buf[4];
  DWORD size = sizeof buf;
  EXPECT_EQ(RegQueryValueEx(k, "Nope", nullptr, nullptr, buf, &size), 2);
  const char text[] = "0123456789";
  ASSERT_EQ(RegSetValueEx(k, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
            0);
  size = sizeof buf;
  EXPECT_EQ(RegQueryValueEx(k, "Text", nullptr, nullptr, buf, &size), 234);
  EXPECT_EQ(size, sizeof text);  // the size needed comes back
  size = 0;
  EXPECT_EQ(RegQueryValueEx(k, "Text", nullptr, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, sizeof text);
  EXPECT_EQ(RegDeleteValue(k, "Text"), 0);
  EXPECT_EQ(RegDeleteValue(k, "Text"), 2);
  RegCloseKey(k);
}

TEST_F(RegistryTest, SubkeysEnumerateInOrderAndGuardTheirParent) {
  HKEY k = Create();
  for (const char* name : {"b-first", "a-second", "c-third"}) {
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyEx(k, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr), 0);
    RegCloseKey(sub);
  }
  std::vector<std::string> seen;
  for (DWORD i = 0;; ++i) {
    char name[32];
    DWORD len = sizeof name;
    LONG rc = RegEnumKeyEx(k, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (rc == 259) break;
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(len, strlen(name));
    seen.push_back(name);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"b-first", "a-second", "c-third"}));
  char tiny[4];
  DWORD len = sizeof tiny;
  EXPECT_EQ(RegEnumKeyEx(k, 0, tiny, &len, nullptr, nullptr, nullptr, nullptr), 234);
  RegCloseKey(k);

  // A key with subkeys cannot be deleted; an empty one can.
  EXPECT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, kKey), 5);
  HKEY parent = Create();
  EXPECT_EQ(RegDeleteKey(parent, "a-second"), 0);
  EXPECT_EQ(RegDeleteKey(parent, "a-second"), 2);
  RegCloseKey(parent);
}

TEST_F(RegistryTest, ReadOnlyStoreRefusesFullAccessButStillReads) {
  HKEY k = Create();
  const char v[] = "x";
  ASSERT_EQ(RegSetValueEx(k, "V", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), sizeof v), 0);
  RegCloseKey(k);
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  HKEY w = nullptr;
  EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &w), 5);
  EXPECT_EQ(
      RegCreateKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &w, nullptr),
      5);
  HKEY r = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &r), 0);
  char buf[8];
  DWORD size = sizeof buf;
  EXPECT_EQ(RegQueryValueEx(r, "V", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), 0);
  // A handle opened for reading cannot write.
  EXPECT_EQ(RegSetValueEx(r, "W", 0, REG_SZ, reinterpret_cast<const BYTE*>(v), sizeof v), 5);
  RegCloseKey(r);
}

TEST_F(RegistryTest, ConcurrentWritersInSeveralProcessesAllKeepTheirValues) {
  const char* bin = getenv("TORVA_BIN");
  ASSERT_NE(bin, nullptr);
  // 40 processes, each adding its own value at the same moment.
  std::string cmd = "for i in $(seq 1 40); do '" + std::string(bin) +
                    "/tvreg' add 'HKLM\\SOFTWARE\\Test Vendor\\Test App' /v v$i /d $i /f "
                    ">/dev/null & done; wait";
  ASSERT_EQ(system(cmd.c_str()), 0);
  HKEY r = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &r), 0);
  for (int i = 1; i <= 40; ++i) {
    char name[8], buf[8];
    snprintf(name, sizeof name, "v%d", i);
    DWORD size = sizeof buf;
    ASSERT_EQ(RegQueryValueEx(r, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size), 0)
        << name;
    EXPECT_EQ(atoi(buf), i);
  }
  RegCloseKey(r);
}

}  // namespace

namespace {

void SetBytes(HKEY k, const char* name, DWORD type, const std::string& bytes) {
  ASSERT_EQ(RegSetValueEx(k, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size())),
            0);
}

// The string reader at the edges of its buffer: a string is taken whole or
// refused, never cut, and its type is reported without being judged.
TEST_F(RegistryTest, StringReaderTakesWholeStringsOrNone) {
  HKEY k = Create();
  SetBytes(k, "WithNul8", REG_SZ, std::string("1234567") + '\0');  // 8 bytes with the NUL
  SetBytes(k, "WithNul9", REG_SZ, std::string("12345678") + '\0');
  SetBytes(k, "Bare7", REG_BINARY, "1234567");  // no NUL of its own
  SetBytes(k, "Bare8", REG_BINARY, "12345678");
  SetBytes(k, "Empty", REG_EXPAND_SZ, "");

  char out[8];
  DWORD type = REG_NONE;
  EXPECT_EQ(RegQueryString(k, "WithNul8", out, &type), ERROR_SUCCESS);
  EXPECT_STREQ(out, "1234567");
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(RegQueryString(k, "Bare7", out, &type), ERROR_SUCCESS);
  EXPECT_STREQ(out, "1234567");
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(RegQueryString(k, "Empty", out), ERROR_SUCCESS);
  EXPECT_STREQ(out, "");

  for (const char* too_long : {"WithNul9", "Bare8"}) {
    memcpy(out, "garbage", sizeof out);
    EXPECT_EQ(RegQueryString(k, too_long, out), ERROR_MORE_DATA) << too_long;
    EXPECT_STREQ(out, "") << too_long;
  }
  EXPECT_EQ(RegQueryString(k, "Missing", out), ERROR_FILE_NOT_FOUND);
  EXPECT_STREQ(out, "");
  RegCloseKey(k);
}

TEST_F(RegistryTest, InstallKeyIsCreatedOnlyWithFullAccess) {
  HKEY k = nullptr;
  EXPECT_EQ(RegOpenInstallKey(KEY_READ, &k), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(k, nullptr);
  ASSERT_EQ(RegOpenInstallKey(KEY_ALL_ACCESS, &k), ERROR_SUCCESS);
  SetBytes(k, "Path", REG_SZ, std::string("/opt/torva") + '\0');
  RegCloseKey(k);

  ASSERT_EQ(RegOpenInstallKey(KEY_QUERY_VALUE, &k), ERROR_SUCCESS);
  char path[260];
  EXPECT_EQ(RegQueryString(k, "Path", path), ERROR_SUCCESS);
  EXPECT_STREQ(path, "/opt/torva");
  RegCloseKey(k);
}

}  // namespace
