#include "tvusers/tvusers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/fs.h"
#include "platform/registry.h"
#include "tvusers/scramble_key.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Passwd = std::array<char, 32>;

constexpr int32_t kUntouched = 4242;  // an error code no operation writes

// A zero-padded 32-byte password buffer, as callers of tvusers_add hand it over.
Passwd Pw(const std::string& text) {
  Passwd p{};
  memcpy(p.data(), text.data(), std::min(text.size(), p.size()));
  return p;
}

// The scrambled field written independently of the library, from the net
// effect of the 256 steps: byte j is XORed with the key bytes of s+j,
// s+j+32, ..., s+j+224.
std::array<unsigned char, 32> ExpectedField(const std::string& name, const Passwd& plain) {
  int32_t s = 0;
  for (unsigned char c : name) s += static_cast<int8_t>(c);
  auto key = [](int32_t v) -> unsigned char {
    if (v >= 0) return torva::kScrambleKey[v % 256];
    return v % 256 == 0 ? torva::kScrambleKey[0] : 0;
  };
  std::array<unsigned char, 32> out{};
  for (int j = 0; j < 32; ++j) {
    unsigned char b = static_cast<unsigned char>(plain[j]);
    for (int m = 0; m < 8; ++m) b ^= key(s + j + 32 * m);
    out[j] = b;
  }
  return out;
}

uint32_t Le32(const Bytes& b, size_t off) {
  return static_cast<uint32_t>(b[off]) | static_cast<uint32_t>(b[off + 1]) << 8 |
         static_cast<uint32_t>(b[off + 2]) << 16 | static_cast<uint32_t>(b[off + 3]) << 24;
}

Bytes Slice(const Bytes& b, size_t off, size_t len) {
  return Bytes(b.begin() + static_cast<long>(off), b.begin() + static_cast<long>(off + len));
}

class UserStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() /
            ("tvusers_test_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
             std::to_string(rd()));
    users_ = root_ / "users";
    fs::create_directories(users_);
    registry_ = (root_ / "registry.reg").string();
    setenv("TORVA_REGISTRY", registry_.c_str(), 1);
    SetUserDir(users_.string());
  }

  void TearDown() override {
    std::error_code ec;
    fs::permissions(registry_, fs::perms::owner_all, ec);
    fs::remove_all(root_, ec);
    unsetenv("TORVA_REGISTRY");
  }

  static void SetValue(const char* name, DWORD type, const std::string& data) {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\MORVEK SOFTWARE\\Torva Server", 0, nullptr,
                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        0);
    ASSERT_EQ(RegSetValueEx(key, name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>(data.size() + 1)),
              0);
    RegCloseKey(key);
  }
  static void SetUserDir(const std::string& dir) { SetValue("UserDir", REG_SZ, dir); }
  static void DeleteUserDir() {
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\MORVEK SOFTWARE\\Torva Server", 0, nullptr,
                       REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        0);
    ASSERT_EQ(RegDeleteValue(key, "UserDir"), 0);
    RegCloseKey(key);
  }

  fs::path UserPath(const std::string& name) const { return users_ / name; }

  Bytes Raw(const std::string& name) const {
    Bytes b;
    FILE* f = fopen(UserPath(name).string().c_str(), "rb");
    if (f == nullptr) return b;
    int c;
    while ((c = fgetc(f)) != EOF) b.push_back(static_cast<unsigned char>(c));
    fclose(f);
    return b;
  }

  void WriteRaw(const std::string& name, const Bytes& b) const {
    FILE* f = fopen(UserPath(name).string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(b.data(), 1, b.size(), f), b.size());
    fclose(f);
  }

  // Adds a user; the test fails when the library refuses.
  void Add(const std::string& name, const std::string& pw, const std::string& dir,
           int32_t admin = 0, int32_t vfsize = -1, int32_t vinum = -1, int32_t maxfs = 2147483647) {
    int32_t err = kUntouched;
    Passwd p = Pw(pw);
    ASSERT_EQ(tvusers_add(&err, name.c_str(), p.data(), dir.c_str(), admin, vfsize, vinum, maxfs),
              0)
        << name;
    ASSERT_EQ(err, kUntouched);
  }

  // Every path below root_, to show that a call created or removed nothing.
  std::set<std::string> Tree() const {
    std::set<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root_)) {
      std::string p = e.path().string();
      if (p != registry_ && p.rfind(registry_, 0) != 0) out.insert(p);
    }
    return out;
  }

  std::vector<std::string> ListedNames() {
    std::vector<std::string> names;
    int32_t err = kUntouched;
    TvUserList* list = tvusers_list(&err);
    EXPECT_NE(list, nullptr);
    if (list == nullptr) return names;
    for (TvUserNode* n = list->head; n != nullptr; n = n->next) names.push_back(n->rec.name);
    tvusers_list_free(list);
    return names;
  }

  fs::path root_;
  fs::path users_;
  std::string registry_;
};

// ---------------------------------------------------------------------------
// File layout

TEST_F(UserStoreTest, AddWritesEveryFieldAtItsOffset) {
  Add("alice", "s3cret", "/home/alice", 1, -1, 0x01020304, 2147483647);
  Bytes b = Raw("alice");
  ASSERT_EQ(b.size(), 1140u);

  const char header[] = "*** Torva Server User ***";
  EXPECT_EQ(Slice(b, 0, 25), Bytes(header, header + 25));
  EXPECT_EQ(Slice(b, 25, 7), Bytes(7, 0)) << "header NUL and padding";
  EXPECT_EQ(Slice(b, 32, 5), Bytes({'a', 'l', 'i', 'c', 'e'}));
  EXPECT_EQ(Slice(b, 37, 27), Bytes(27, 0));

  auto want = ExpectedField("alice", Pw("s3cret"));
  EXPECT_EQ(Slice(b, 64, 32), Bytes(want.begin(), want.end()));

  const char dir[] = "/home/alice";
  EXPECT_EQ(Slice(b, 96, 11), Bytes(dir, dir + 11));
  EXPECT_EQ(Slice(b, 107, 1120 - 107), Bytes(1120 - 107, 0));

  EXPECT_EQ(Slice(b, 1120, 4), Bytes({0x01, 0x00, 0x00, 0x00}));  // admin
  EXPECT_EQ(Slice(b, 1124, 4), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));  // vfsize -1
  EXPECT_EQ(Slice(b, 1128, 4), Bytes({0x04, 0x03, 0x02, 0x01}));  // vinum
  EXPECT_EQ(Slice(b, 1132, 4), Bytes({0xFF, 0xFF, 0xFF, 0x7F}));  // maxfs
  EXPECT_EQ(Le32(b, 1136), 0u) << "link";
}

TEST_F(UserStoreTest, AddCutsTheHomeDirectoryAt1023Bytes) {
  std::string longdir(1100, 'd');
  Add("dirs", "pw", longdir);
  Bytes b = Raw("dirs");
  ASSERT_EQ(b.size(), 1140u);
  EXPECT_EQ(Slice(b, 96, 1023), Bytes(1023, 'd'));
  EXPECT_EQ(b[96 + 1023], 0);
  EXPECT_EQ(Le32(b, 1120), 0u) << "the cut directory must not spill into admin";

  UserRecord rec;
  int32_t err = kUntouched;
  ASSERT_EQ(tvusers_read(&err, "dirs", &rec), 0);
  EXPECT_EQ(strlen(rec.usrdir), 1023u);
}

// ---------------------------------------------------------------------------
// Password scramble

TEST_F(UserStoreTest, ScrambleRoundTripsAndHidesThePassword) {
  Add("bob", "hunter2", "/srv/bob");
  Bytes b = Raw("bob");
  ASSERT_EQ(b.size(), 1140u);
  Passwd plain = Pw("hunter2");
  EXPECT_NE(Slice(b, 64, 32), Bytes(plain.begin(), plain.end()));
  EXPECT_EQ(std::search(b.begin(), b.end(), plain.begin(), plain.begin() + 7), b.end())
      << "the plain password appears in the file";

  UserRecord rec;
  int32_t err = kUntouched;
  ASSERT_EQ(tvusers_read(&err, "bob", &rec), 0);
  EXPECT_EQ(Bytes(rec.passwd, rec.passwd + 32), Slice(b, 64, 32)) << "read keeps it scrambled";
  ASSERT_EQ(tvusers_read2(&err, "bob", &rec), 0);
  EXPECT_EQ(Bytes(rec.passwd, rec.passwd + 32), Bytes(plain.begin(), plain.end()))
      << "read2 restores all 32 bytes";
  EXPECT_EQ(err, kUntouched);
}

TEST_F(UserStoreTest, NamesWithNegativeByteSumsScrambleDeterministically) {
  // Shift_JIS bytes: the signed sum is negative. The second name sums to -256,
  // the one negative value whose key byte is not zero.
  const std::string sjis = "\x83\x65\x83\x58\x83\x67";  // sum -125+101-125+88-125+103
  const std::string minus256 = "\x80\x80";
  for (const std::string& name : {sjis, minus256}) {
    int32_t sum = 0;
    for (unsigned char c : name) sum += static_cast<int8_t>(c);
    ASSERT_LT(sum, 0);

    Add(name, "pass word", "/srv/jp");
    Bytes first = Raw(name);
    ASSERT_EQ(first.size(), 1140u);
    auto want = ExpectedField(name, Pw("pass word"));
    EXPECT_EQ(Slice(first, 64, 32), Bytes(want.begin(), want.end()));

    // The same name and password always give the same field, in any directory.
    fs::path other = root_ / "other";
    fs::create_directories(other);
    SetUserDir(other.string());
    Add(name, "pass word", "/elsewhere");
    FILE* f = fopen((other / name).string().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char again[1140];
    ASSERT_EQ(fread(again, 1, sizeof again, f), sizeof again);
    fclose(f);
    EXPECT_EQ(Bytes(again + 64, again + 96), Slice(first, 64, 32));
    fs::remove_all(other);
    SetUserDir(users_.string());

    char home[1024] = {};
    int32_t err = kUntouched;
    EXPECT_EQ(tvusers_session(&err, name.c_str(), "pass word", home), 0);
    EXPECT_STREQ(home, "/srv/jp");
    EXPECT_EQ(err, kUntouched);
  }
}

// ---------------------------------------------------------------------------
// The user directory from the registry

TEST_F(UserStoreTest, MissingUserDirFailsEveryOperationWith101) {
  Add("carol", "pw", "/srv/carol");
  DeleteUserDir();

  int32_t err = 0;
  Passwd p = Pw("pw");
  EXPECT_EQ(tvusers_add(&err, "dave", p.data(), "/d", 0, -1, -1, 0), -1);
  EXPECT_EQ(err, 101);
  err = 0;
  EXPECT_EQ(tvusers_del(&err, "carol"), -1);
  EXPECT_EQ(err, 101);
  err = 0;
  EXPECT_EQ(tvusers_list(&err), nullptr);
  EXPECT_EQ(err, 101);
  err = 0;
  char home[1024];
  EXPECT_EQ(tvusers_session(&err, "carol", "pw", home), -1);
  EXPECT_EQ(err, 101);
  err = 0;
  EXPECT_EQ(tvusers_is_writable(&err, "carol"), 0);
  EXPECT_EQ(err, 101);
  err = 0;
  int32_t admin = 1;
  EXPECT_EQ(tvusers_mod(&err, "carol", nullptr, nullptr, &admin, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(err, 101);
  UserRecord rec;
  err = 0;
  EXPECT_EQ(tvusers_read(&err, "carol", &rec), -1);
  EXPECT_EQ(err, 101);
  err = 0;
  EXPECT_EQ(tvusers_read2(&err, "carol", &rec), -1);
  EXPECT_EQ(err, 101);

  EXPECT_TRUE(fs::exists(UserPath("carol")));
  EXPECT_FALSE(fs::exists(UserPath("dave")));
}

TEST_F(UserStoreTest, UserDirCountsOnlyAsAStringThatFits) {
  Add("erin", "pw", "/srv/erin");
  UserRecord rec;
  int32_t err = 0;

  SetValue("UserDir", REG_EXPAND_SZ, users_.string());
  EXPECT_EQ(tvusers_read(&err, "erin", &rec), -1);
  EXPECT_EQ(err, 101);
  err = 0;
  EXPECT_EQ(tvusers_list(&err), nullptr);
  EXPECT_EQ(err, 101);

  // 1024 characters and the NUL do not fit the 1024-byte buffer.
  SetUserDir(std::string(1024, 'x'));
  err = 0;
  EXPECT_EQ(tvusers_read(&err, "erin", &rec), -1);
  EXPECT_EQ(err, 101);

  SetUserDir(users_.string());
  EXPECT_EQ(tvusers_read(&err, "erin", &rec), 0);
}

TEST_F(UserStoreTest, ReadOnlyRegistryStoreServesReadsButNoChanges) {
  Add("frank", "pw", "/srv/frank");
  fs::permissions(registry_,
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // Reading needs only read access to the store: an unprivileged server logs
  // users in from a store it may not write.
  int32_t err = 0;
  UserRecord rec;
  EXPECT_EQ(tvusers_read(&err, "frank", &rec), 0);
  EXPECT_EQ(tvusers_is_writable(&err, "frank"), 1);
  char home[1024];
  EXPECT_EQ(tvusers_session(&err, "frank", "pw", home), 0);
  EXPECT_STREQ(home, "/srv/frank");
  TvUserList* list = tvusers_list(&err);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 1);
  tvusers_list_free(list);
  // Changes still open the key with full access, which a read-only store refuses.
  Passwd p = Pw("pw");
  err = 0;
  EXPECT_EQ(tvusers_add(&err, "gina", p.data(), "/d", 0, -1, -1, 0), -1);
  EXPECT_EQ(err, 101);
  err = 0;
  EXPECT_EQ(tvusers_del(&err, "frank"), -1);
  EXPECT_EQ(err, 101);

  fs::permissions(registry_, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(tvusers_add(&err, "gina", p.data(), "/d", 0, -1, -1, 0), 0);
}

TEST_F(UserStoreTest, UserDirThatDoesNotExist) {
  SetUserDir((root_ / "missing").string());
  int32_t err = 0;
  Passwd p = Pw("pw");
  EXPECT_EQ(tvusers_add(&err, "gina", p.data(), "/d", 0, -1, -1, 0), -1);
  EXPECT_EQ(err, 101) << "the file cannot be created";
  err = 0;
  EXPECT_EQ(tvusers_list(&err), nullptr);
  EXPECT_EQ(err, 101) << "the directory cannot be enumerated";
  UserRecord rec;
  err = 0;
  EXPECT_EQ(tvusers_read(&err, "gina", &rec), -1);
  EXPECT_EQ(err, 202);
  EXPECT_FALSE(fs::exists(root_ / "missing"));
}

// ---------------------------------------------------------------------------
// Existing and foreign files

TEST_F(UserStoreTest, AddNeverTouchesAnExistingFile) {
  Add("hank", "old", "/srv/hank", 1);
  Bytes before = Raw("hank");
  int32_t err = 0;
  Passwd p = Pw("new");
  EXPECT_EQ(tvusers_add(&err, "hank", p.data(), "/other", 0, 5, 5, 5), -1);
  EXPECT_EQ(err, 201);
  EXPECT_EQ(Raw("hank"), before);

  // Whatever the file holds, it takes the name.
  WriteRaw("notes", Bytes{'h', 'i', '\n'});
  err = 0;
  EXPECT_EQ(tvusers_add(&err, "notes", p.data(), "/d", 0, -1, -1, 0), -1);
  EXPECT_EQ(err, 201);
  EXPECT_EQ(Raw("notes"), (Bytes{'h', 'i', '\n'}));
}

TEST_F(UserStoreTest, InvalidUserFilesReadAsMissingUsers) {
  // short: one byte less than a record. header: one header byte changed.
  // alias: the valid record of "ivan" stored under another file name.
  Add("short", "pw", "/s");
  Bytes b = Raw("short");
  b.pop_back();
  WriteRaw("short", b);
  Add("header", "pw", "/h");
  b = Raw("header");
  b[4] = 't';
  WriteRaw("header", b);
  Add("ivan", "pw", "/i");
  WriteRaw("alias", Raw("ivan"));
  WriteRaw("junk", Bytes(2000, 'j'));
  // A longer file is valid: bytes past the record are ignored.
  Add("longer", "pw", "/l");
  b = Raw("longer");
  b.resize(1500, 0xEE);
  WriteRaw("longer", b);

  for (const char* name : {"short", "header", "alias", "junk"}) {
    SCOPED_TRACE(name);
    Bytes before = Raw(name);
    int32_t err = 0;
    UserRecord rec;
    EXPECT_EQ(tvusers_read(&err, name, &rec), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_read2(&err, name, &rec), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    char home[1024];
    EXPECT_EQ(tvusers_session(&err, name, "pw", home), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_is_writable(&err, name), 0);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_mod(&err, name, "x", "/x", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_del(&err, name), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    Passwd p = Pw("pw");
    EXPECT_EQ(tvusers_add(&err, name, p.data(), "/d", 0, -1, -1, 0), -1);
    EXPECT_EQ(err, 201);
    EXPECT_EQ(Raw(name), before) << "the file must survive every call";
  }

  std::vector<std::string> names = ListedNames();
  std::set<std::string> listed(names.begin(), names.end());
  EXPECT_EQ(listed, (std::set<std::string>{"ivan", "longer"}));

  int32_t err = kUntouched;
  UserRecord rec;
  EXPECT_EQ(tvusers_read(&err, "longer", &rec), 0);
  EXPECT_EQ(err, kUntouched);
}

TEST_F(UserStoreTest, NonRegularEntriesAreNotUsers) {
  fs::create_directories(UserPath("subdir"));
  int32_t err = 0;
  UserRecord rec;
  EXPECT_EQ(tvusers_read(&err, "subdir", &rec), -1);
  EXPECT_EQ(err, 202);
  err = 0;
  Passwd p = Pw("pw");
  EXPECT_EQ(tvusers_add(&err, "subdir", p.data(), "/d", 0, -1, -1, 0), -1);
  EXPECT_EQ(err, 101) << "a directory cannot be created as a user file";
  EXPECT_TRUE(fs::is_directory(UserPath("subdir")));
  EXPECT_TRUE(ListedNames().empty());
}

// ---------------------------------------------------------------------------
// Listing

TEST_F(UserStoreTest, ListOfADirectoryWithoutUsersIsEmptyNotNull) {
  for (int round = 0; round < 2; ++round) {
    int32_t err = kUntouched;
    TvUserList* list = tvusers_list(&err);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->head, nullptr);
    EXPECT_EQ(list->tail, nullptr);
    tvusers_list_free(list);
    // Second round: only a directory and a foreign file.
    fs::create_directories(UserPath("somedir"));
    WriteRaw("readme", Bytes{'x'});
  }
}

TEST_F(UserStoreTest, ListFollowsDirectoryOrderWithPlainPasswords) {
  const std::vector<std::pair<std::string, std::string>> users = {
      {"zed", "zpw"},
      {"amy", ""},
      {"mo", "31-byte-password-is-the-maximum"},
      {"bea", "b"},
      {"kai", "k\x82\xa0"}};
  for (size_t i = 0; i < users.size(); ++i) {
    Add(users[i].first, users[i].second, "/home/" + users[i].first, static_cast<int32_t>(i));
  }
  fs::create_directories(UserPath("dir"));
  WriteRaw("foreign", Bytes(1140, 0));

  // The directory's own enumeration order, valid users only.
  std::vector<std::string> order;
  for (const auto& e : fs::directory_iterator(users_)) {
    std::string n = e.path().filename().string();
    for (const auto& u : users) {
      if (u.first == n) order.push_back(n);
    }
  }

  int32_t err = 0;
  TvUserList* list = tvusers_list(&err);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->count, 1) << "count only tells empty from non-empty";
  std::vector<std::string> got;
  TvUserNode* last = nullptr;
  for (TvUserNode* n = list->head; n != nullptr; n = n->next) {
    got.push_back(n->rec.name);
    last = n;
    std::string pw;
    for (const auto& u : users) {
      if (u.first == n->rec.name) pw = u.second;
    }
    Passwd plain = Pw(pw);
    EXPECT_EQ(memcmp(n->rec.passwd, plain.data(), 32), 0) << n->rec.name;
    EXPECT_EQ(std::string(n->rec.usrdir), "/home/" + std::string(n->rec.name));
    EXPECT_STREQ(n->rec.header, "*** Torva Server User ***");
    EXPECT_EQ(n->rec.link, 0u);
  }
  EXPECT_EQ(got, order);
  EXPECT_EQ(list->tail, last);
  tvusers_list_free(list);
}

// ---------------------------------------------------------------------------
// Write permission, modification, log-in

TEST_F(UserStoreTest, IsWritableCountsOnlyOneAsReadOnly) {
  const std::pair<int32_t, int> cases[] = {{0, 1}, {1, 0}, {2, 1}, {-1, 1}};
  for (const auto& [admin, want] : cases) {
    std::string name = "u" + std::to_string(admin);
    Add(name, "pw", "/d", admin);
    int32_t err = kUntouched;
    EXPECT_EQ(tvusers_is_writable(&err, name.c_str()), want) << admin;
    EXPECT_EQ(err, kUntouched);
  }
  int32_t err = 0;
  EXPECT_EQ(tvusers_is_writable(&err, "nobody"), 0);
  EXPECT_EQ(err, 202);
}

TEST_F(UserStoreTest, ModWithNothingGivenRewritesTheFileUnchanged) {
  Add("jane", "pw", "/srv/jane", 2, 7, 8, 9);
  Bytes clean = Raw("jane");
  Bytes dirty = clean;
  dirty[1136] = 0xDD;  // a stray link value
  dirty[1139] = 0xAA;
  WriteRaw("jane", dirty);
  int32_t err = kUntouched;
  ASSERT_EQ(tvusers_mod(&err, "jane", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(err, kUntouched);
  EXPECT_EQ(Raw("jane"), clean);
}

TEST_F(UserStoreTest, ModChangesOnlyWhatIsGiven) {
  Add("kate", "oldpassword-long", "/srv/kate", 0, 11, 12, 13);
  Bytes before = Raw("kate");

  int32_t err = kUntouched;
  int32_t admin = 1;
  ASSERT_EQ(tvusers_mod(&err, "kate", nullptr, nullptr, &admin, nullptr, nullptr, nullptr), 0);
  Bytes after = Raw("kate");
  EXPECT_EQ(Le32(after, 1120), 1u);
  after[1120] = before[1120];
  EXPECT_EQ(after, before) << "only admin may change";

  ASSERT_EQ(tvusers_mod(&err, "kate", "new", "/srv/new", nullptr, nullptr, nullptr, nullptr), 0);
  after = Raw("kate");
  auto want = ExpectedField("kate", Pw("new"));
  EXPECT_EQ(Slice(after, 64, 32), Bytes(want.begin(), want.end()))
      << "the old password must leave no trace after the new one";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&after[96])), "/srv/new");
  EXPECT_EQ(Slice(after, 1120, 16), Bytes({1, 0, 0, 0, 11, 0, 0, 0, 12, 0, 0, 0, 13, 0, 0, 0}));

  int32_t v = -3, n = 0, m = 77;
  ASSERT_EQ(tvusers_mod(&err, "kate", nullptr, nullptr, nullptr, &v, &n, &m), 0);
  UserRecord rec;
  ASSERT_EQ(tvusers_read2(&err, "kate", &rec), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(rec.passwd), "new");
  EXPECT_STREQ(rec.usrdir, "/srv/new");
  EXPECT_EQ(rec.admin, 1);
  EXPECT_EQ(rec.vfsize, -3);
  EXPECT_EQ(rec.vinum, 0);
  EXPECT_EQ(rec.maxfs, 77);
  EXPECT_EQ(err, kUntouched);

  char home[1024];
  EXPECT_EQ(tvusers_session(&err, "kate", "oldpassword-long", home), -1);
  EXPECT_EQ(err, 203);
}

TEST_F(UserStoreTest, ModOfAMissingUserCreatesNothing) {
  auto tree = Tree();
  int32_t err = 0;
  int32_t admin = 0;
  EXPECT_EQ(tvusers_mod(&err, "ghost", "pw", "/d", &admin, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(err, 202);
  EXPECT_EQ(Tree(), tree);
}

TEST_F(UserStoreTest, SessionChecksThePasswordByteForByte) {
  Add("liam", "Secret", "/srv/liam");
  Add("open", "", "/srv/open");
  char home[1024] = {};
  int32_t err = kUntouched;
  EXPECT_EQ(tvusers_session(&err, "liam", "Secret", home), 0);
  EXPECT_STREQ(home, "/srv/liam");
  EXPECT_EQ(err, kUntouched);

  for (const char* wrong : {"secret", "Secret ", "Secre", ""}) {
    err = 0;
    EXPECT_EQ(tvusers_session(&err, "liam", wrong, home), -1) << wrong;
    EXPECT_EQ(err, 203);
  }
  err = kUntouched;
  EXPECT_EQ(tvusers_session(&err, "open", "", home), 0) << "empty stored password";
  EXPECT_STREQ(home, "/srv/open");
  err = 0;
  EXPECT_EQ(tvusers_session(&err, "open", "x", home), -1);
  EXPECT_EQ(err, 203);
  err = 0;
  EXPECT_EQ(tvusers_session(&err, "Liam", "Secret", home), -1) << "names are case-sensitive";
  EXPECT_EQ(err, 202);
}

TEST_F(UserStoreTest, OnlyThirtyOneStoredPasswordBytesCount) {
  const std::string p31(31, 'q');
  Add("max31", p31, "/d");
  char home[1024];
  int32_t err = kUntouched;
  EXPECT_EQ(tvusers_session(&err, "max31", p31.c_str(), home), 0);
  err = 0;
  EXPECT_EQ(tvusers_session(&err, "max31", (p31 + "q").c_str(), home), -1);
  EXPECT_EQ(err, 203);

  // A full 32-byte buffer without terminator: the 32nd byte is stored but
  // never compared, so the 32-byte password cannot log in, its 31-byte
  // prefix can.
  Passwd full;
  full.fill('r');
  err = kUntouched;
  ASSERT_EQ(tvusers_add(&err, "full32", full.data(), "/d", 0, -1, -1, 0), 0);
  const std::string p32(32, 'r');
  err = 0;
  EXPECT_EQ(tvusers_session(&err, "full32", p32.c_str(), home), -1);
  EXPECT_EQ(err, 203);
  err = kUntouched;
  EXPECT_EQ(tvusers_session(&err, "full32", p32.substr(0, 31).c_str(), home), 0);
}

// ---------------------------------------------------------------------------
// Names and deletion

TEST_F(UserStoreTest, NamesThatAreNotPlainFileNamesAreRefused) {
  fs::create_directories(UserPath("a"));
  WriteRaw("a/b", Bytes(1140, 0));
  auto tree = Tree();
  for (const char* name : {"a/b", "c/d", "../up", "x\\y", ".", "..", ""}) {
    SCOPED_TRACE(name);
    int32_t err = 0;
    Passwd p = Pw("pw");
    EXPECT_EQ(tvusers_add(&err, name, p.data(), "/d", 0, -1, -1, 0), -1);
    EXPECT_EQ(err, 101);
    UserRecord rec;
    err = 0;
    EXPECT_EQ(tvusers_read(&err, name, &rec), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_read2(&err, name, &rec), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    char home[1024];
    EXPECT_EQ(tvusers_session(&err, name, "pw", home), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_is_writable(&err, name), 0);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_mod(&err, name, "pw", nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(err, 202);
    err = 0;
    EXPECT_EQ(tvusers_del(&err, name), -1);
    EXPECT_EQ(err, 202);
  }
  EXPECT_EQ(Tree(), tree) << "nothing created or removed anywhere";
}

TEST_F(UserStoreTest, NamesOf31BytesAreUsersAndLongerOnesAreNot) {
  const std::string n31(31, 'n');
  const std::string n32(32, 'n');
  Add(n31, "pw", "/d");
  EXPECT_EQ(ListedNames(), std::vector<std::string>{n31});

  auto tree = Tree();
  int32_t err = 0;
  Passwd p = Pw("pw");
  EXPECT_EQ(tvusers_add(&err, n32.c_str(), p.data(), "/d", 0, -1, -1, 0), -1);
  EXPECT_EQ(err, 101);
  EXPECT_EQ(Tree(), tree) << "no file under the long name";
  UserRecord rec;
  err = 0;
  EXPECT_EQ(tvusers_read(&err, n32.c_str(), &rec), -1);
  EXPECT_EQ(err, 202) << "must not match the 31-byte prefix";
  err = 0;
  EXPECT_EQ(tvusers_del(&err, n32.c_str()), -1);
  EXPECT_EQ(err, 202);
  EXPECT_TRUE(fs::exists(UserPath(n31)));

  // A file under a 32-byte name holding the 31-byte user's record is not a user.
  WriteRaw(n32, Raw(n31));
  EXPECT_EQ(ListedNames(), std::vector<std::string>{n31});
}

TEST_F(UserStoreTest, DeleteRemovesOnlyTheValidUserFile) {
  Add("mona", "pw", "/d");
  int32_t err = kUntouched;
  EXPECT_EQ(tvusers_del(&err, "mona"), 0);
  EXPECT_EQ(err, kUntouched);
  EXPECT_FALSE(fs::exists(UserPath("mona")));
  err = 0;
  EXPECT_EQ(tvusers_del(&err, "mona"), -1);
  EXPECT_EQ(err, 202);
}

TEST_F(UserStoreTest, DeleteOfAFileHeldWithoutSharingFailsWith105) {
  Add("nina", "pw", "/d");
  HANDLE held = CreateFile(UserPath("nina").string().c_str(), GENERIC_READ, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  int32_t err = 0;
  EXPECT_EQ(tvusers_del(&err, "nina"), -1);
  EXPECT_EQ(err, 105);
  EXPECT_TRUE(fs::exists(UserPath("nina")));
  CloseHandle(held);
  err = kUntouched;
  EXPECT_EQ(tvusers_del(&err, "nina"), 0);
  EXPECT_EQ(err, kUntouched);
}

// ---------------------------------------------------------------------------
// Threads of one process

TEST_F(UserStoreTest, RewritesAreNeverSeenHalfWrittenWithinAProcess) {
  Add("olga", "one", "/srv/olga");
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<int> accepted{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < 400; ++i) {
      int32_t err = 0;
      const char* pw = (i % 2 == 0) ? "two" : "one";
      if (tvusers_mod(&err, "olga", pw, nullptr, nullptr, nullptr, nullptr, nullptr) != 0) {
        torn.fetch_add(1);
      }
    }
    stop = true;
  });
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        int32_t err = 0;
        char home[1024];
        if (tvusers_session(&err, "olga", "one", home) == 0) {
          accepted.fetch_add(1);
        } else if (err != 203) {
          torn.fetch_add(1);
        }
        err = 0;
        if (tvusers_is_writable(&err, "olga") != 1) torn.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(accepted.load(), 0);
}

}  // namespace
