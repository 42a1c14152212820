// What the user administration window does for each action, checked against a
// real user directory and registry file of each test's own.
#include "tvusergui/UserAdmin.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/registry.h"
#include "platform/unique_handle.h"
#include "tvusers/tvusers.h"

namespace {

namespace fs = std::filesystem;
using namespace torva::gui;

class UserAdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device rd;
    root_ = fs::temp_directory_path() /
            ("tvusergui_test_" +
             std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
             std::to_string(rd()));
    users_ = root_ / "users";
    fs::create_directories(users_);
    fs::create_directories(root_ / "sys");
    setenv("TORVA_REGISTRY", (root_ / "registry.reg").string().c_str(), 1);
    SetValue("UserDir", REG_SZ, users_.string());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
    unsetenv("TORVA_REGISTRY");
  }

  static void SetValue(const char* name, DWORD type, const std::string& data) {
    UniqueRegKey key;
    ASSERT_EQ(RegOpenInstallKey(KEY_ALL_ACCESS, key.Receive()), 0);
    ASSERT_EQ(RegSetValueEx(key.Get(), name, 0, type, reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>(data.size() + 1)),
              0);
  }
  static void DeleteValue(const char* name) {
    UniqueRegKey key;
    ASSERT_EQ(RegOpenInstallKey(KEY_ALL_ACCESS, key.Receive()), 0);
    ASSERT_EQ(RegDeleteValue(key.Get(), name), 0);
  }

  // Adds a user as the user commands do, with their three stored numbers.
  static void Add(const char* name, const char* pw, const char* dir, int32_t admin = 0) {
    char buf[32] = {};
    snprintf(buf, sizeof buf, "%s", pw);
    int32_t err = 0;
    ASSERT_EQ(tvusers_add(&err, name, buf, dir, admin, -1, -1, 2147483647), 0) << name;
  }
  static UserRecord Read(const char* name) {
    UserRecord rec{};
    int32_t err = 0;
    EXPECT_EQ(tvusers_read2(&err, name, &rec), 0) << name;
    return rec;
  }
  size_t UserFiles() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(users_), {}));
  }
  std::string LockPath() const { return (root_ / "sys" / "tvusergui.lck").string(); }

  static void ExpectBox(const std::optional<Box>& box, const char* caption, const char* text) {
    ASSERT_TRUE(box.has_value()) << "expected \"" << text << "\"";
    EXPECT_EQ(box->caption, caption);
    EXPECT_EQ(box->text, text);
  }

  // A system error box: the caption names the call; the text is the
  // system's own for the number, in Windows' wording or (under Wine) Wine's.
  static void ExpectSystemBox(const std::optional<Box>& box, const char* caption,
                              const char* windows_text, const char* wine_text) {
    ASSERT_TRUE(box.has_value()) << "expected \"" << windows_text << "\"";
    EXPECT_EQ(box->caption, caption);
    EXPECT_TRUE(box->text == windows_text || box->text == wine_text) << box->text;
  }

  static void ExpectRow(const Outcome& out, RowChange change, const char* name, const char* dir,
                        const char* authority) {
    EXPECT_FALSE(out.box.has_value());
    EXPECT_EQ(out.change, change);
    EXPECT_EQ(out.row.name, name);
    EXPECT_EQ(out.row.directory, dir);
    EXPECT_STREQ(out.row.authority, authority);
  }

  fs::path root_;
  fs::path users_;
};

TEST_F(UserAdminTest, ApplyAddsANewUserWithZeroNumbersAndAppendsItsRow) {
  ExpectRow(Apply("eve", "secret", "/srv/eve", 1), RowChange::kAppend, "eve", "/srv/eve",
            "readonly");

  UserRecord rec = Read("eve");
  EXPECT_STREQ(reinterpret_cast<const char*>(rec.passwd), "secret");
  EXPECT_STREQ(rec.usrdir, "/srv/eve");
  EXPECT_EQ(rec.admin, 1);
  EXPECT_EQ(rec.vfsize, 0);
  EXPECT_EQ(rec.vinum, 0);
  EXPECT_EQ(rec.maxfs, 0);
}

TEST_F(UserAdminTest, ApplyOnAnExistingNameModifiesItAndUpdatesItsRow) {
  Add("bob", "old", "/srv/bob", 1);
  // Empty fields replace what is stored; the numbers the window never shows stay.
  ExpectRow(Apply("bob", "", "", 0), RowChange::kUpdate, "bob", "", "writable");
  EXPECT_EQ(UserFiles(), 1u);

  UserRecord rec = Read("bob");
  EXPECT_STREQ(reinterpret_cast<const char*>(rec.passwd), "");
  EXPECT_STREQ(rec.usrdir, "");
  EXPECT_EQ(rec.admin, 0);
  EXPECT_EQ(rec.vfsize, -1);
  EXPECT_EQ(rec.vinum, -1);
  EXPECT_EQ(rec.maxfs, 2147483647);
}

TEST_F(UserAdminTest, ApplyTakesTheLongestFieldsAndWarnsAboutOneCharacterMore) {
  const std::string name31(31, 'n'), pw31(31, 'p'), dir1023(1023, 'd');
  Outcome ok = Apply(name31.c_str(), pw31.c_str(), dir1023.c_str(), 0);
  ASSERT_FALSE(ok.box.has_value());
  EXPECT_EQ(ok.change, RowChange::kAppend);
  UserRecord rec = Read(name31.c_str());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.passwd), 31), pw31);
  EXPECT_EQ(rec.usrdir, dir1023);

  struct Case {
    std::string name, pw, dir;
    const char* text;
  };
  const Case cases[] = {
      {name31 + "x", pw31, dir1023, "User name is too long."},
      {"other", pw31 + "x", dir1023, "Password is too long."},
      {"other", pw31, dir1023 + "x", "Directory is too long."},
      // The name is checked first.
      {name31 + "x", pw31 + "x", dir1023 + "x", "User name is too long."},
  };
  for (const Case& c : cases) {
    Outcome out = Apply(c.name.c_str(), c.pw.c_str(), c.dir.c_str(), 1);
    ExpectBox(out.box, "Warning", c.text);
    EXPECT_EQ(out.box->icon, BoxIcon::kWarning);
    EXPECT_EQ(out.change, RowChange::kNone);
  }
  // Nothing was called: no new user, the existing one unchanged.
  EXPECT_EQ(UserFiles(), 1u);
  EXPECT_EQ(Read(name31.c_str()).admin, 0);
}

TEST_F(UserAdminTest, ApplyShowsTheFailingCallWhenTheStoreRefuses) {
  // A file of that name that is no user file blocks the add, and the modify
  // that follows cannot read it.
  std::ofstream(users_ / "broken") << "short";
  Outcome out = Apply("broken", "pw", "/d", 0);
  ExpectBox(out.box, "tvusers_mod", "The FTP user does not exist.");
  EXPECT_EQ(out.box->icon, BoxIcon::kError);
  EXPECT_EQ(out.change, RowChange::kNone);

  fs::remove_all(users_);
  out = Apply("eve", "pw", "/d", 0);
  ExpectBox(out.box, "tvusers_add", "Could not create FTP user.");
  EXPECT_EQ(out.change, RowChange::kNone);
}

TEST_F(UserAdminTest, SelectingARowShowsTheUnscrambledPasswordAndReadonlyForAnyNonZeroAdmin) {
  Add("carol", "pw-carol", "/srv/carol", 2);
  Selection sel = SelectRow("carol");
  EXPECT_FALSE(sel.box.has_value());
  EXPECT_STREQ(sel.fields.name, "carol");
  EXPECT_STREQ(sel.fields.passwd, "pw-carol");
  EXPECT_STREQ(sel.fields.directory, "/srv/carol");
  EXPECT_EQ(sel.fields.authority, 1);

  // Only the first 31 characters of the row name the user.
  const std::string name31(31, 'q');
  Add(name31.c_str(), "", "/q", 0);
  sel = SelectRow((name31 + "tail").c_str());
  EXPECT_FALSE(sel.box.has_value());
  EXPECT_EQ(sel.fields.name, name31);
  EXPECT_EQ(sel.fields.authority, 0);

  // A user gone since the list was filled: the box, then empty fields.
  ASSERT_TRUE(fs::remove(users_ / "carol"));
  sel = SelectRow("carol");
  ExpectBox(sel.box, "tvusers_read2", "The FTP user does not exist.");
  EXPECT_STREQ(sel.fields.name, "");
  EXPECT_STREQ(sel.fields.passwd, "");
  EXPECT_STREQ(sel.fields.directory, "");
  EXPECT_EQ(sel.fields.authority, 0);
}

TEST_F(UserAdminTest, FillingListsEveryUserOrClosesWithTheListBox) {
  Add("alice", "a", "/srv/alice", 0);
  Add("dave", "d", "/srv/dave", 1);
  std::ofstream(users_ / "junk") << "not a user file";
  ListFill fill = FillList();
  EXPECT_FALSE(fill.box.has_value());
  ASSERT_EQ(fill.rows.size(), 2u);
  for (const Row& row : fill.rows) {
    if (row.name == "alice") {
      EXPECT_EQ(row.directory, "/srv/alice");
      EXPECT_STREQ(row.authority, "writable");
    } else {
      EXPECT_EQ(row.name, "dave");
      EXPECT_STREQ(row.authority, "readonly");
    }
  }

  fs::remove_all(users_);
  fill = FillList();
  ExpectBox(fill.box, "tvusers_list", "Could not create FTP user.");
  EXPECT_TRUE(fill.rows.empty());

  DeleteValue("UserDir");
  fill = FillList();
  ExpectBox(fill.box, "tvusers_list", "Could not create FTP user.");
}

TEST_F(UserAdminTest, DeleteRemovesTheRowWhetherOrNotTheUserCouldBeDeleted) {
  Add("bob", "b", "/srv/bob");
  Outcome out = DeleteRow("bob");
  EXPECT_FALSE(out.box.has_value());
  EXPECT_EQ(out.change, RowChange::kRemove);
  EXPECT_EQ(UserFiles(), 0u);

  out = DeleteRow("bob");
  ExpectBox(out.box, "tvusers_del", "The FTP user does not exist.");
  EXPECT_EQ(out.change, RowChange::kRemove);

  ExpectBox(NothingSelectedBox(), "Warning", "Does not selected.");
  ExpectBox(InformationBox(), "Information", "Torva Server - User Administration GUI");
}

TEST_F(UserAdminTest, ErrorBoxesNameTheCallAndTellTheCode) {
  const std::pair<int32_t, const char*> texts[] = {
      {101, "Could not create FTP user."},
      {102, "Could not open file."},
      {103, "Could not set value."},
      {104, "Could not delete value."},
      {105, "Could not delete key."},
      {106, "No memory."},
      {201, "The FTP user already exists."},
      {202, "The FTP user does not exist."},
      {203, "Could not login."},
      {204, "No authority."},
      {0, "Unknown error."},
      {107, "Unknown error."},
  };
  for (const auto& [code, text] : texts)
    ExpectBox(LibraryError("tvusers_add", code), "tvusers_add", text);

  ExpectSystemBox(SystemError("RegOpenKeyEx", ERROR_FILE_NOT_FOUND), "RegOpenKeyEx",
                  "The system cannot find the file specified.", "File not found.");
  ExpectSystemBox(SystemError("MoveWindow", ERROR_ACCESS_DENIED), "MoveWindow", "Access is denied.",
                  "Access denied.");
  // A number the system has no text for.
  ExpectBox(SystemError("GetDlgItem", 99999), "GetDlgItem", "No memory.");
}

TEST_F(UserAdminTest, StartUpNeedsThePathAndHoldsTheInstanceLockUntilReleased) {
  {
    InstanceLock lock;
    // No settings key at all, then a key without "Path".
    ASSERT_EQ(RegDeleteKey(HKEY_LOCAL_MACHINE, torva::kSettingsKey), 0);
    ExpectSystemBox(StartUp(&lock), "RegOpenKeyEx", "The system cannot find the file specified.",
                    "File not found.");
    SetValue("UserDir", REG_SZ, users_.string());
    ExpectSystemBox(StartUp(&lock), "RegQueryValueEx", "The system cannot find the file specified.",
                    "File not found.");
  }

  SetValue("Path", REG_EXPAND_SZ, root_.string());
  InstanceLock first;
  ASSERT_FALSE(StartUp(&first).has_value());
  // Held without sharing: where the system enforces that (Windows), no one
  // else can open the file; where the lock binds only those who ask for it,
  // a reader sees the 16 bytes.
  std::ifstream in(LockPath(), std::ios::binary);
  if (in.is_open()) {
    std::string held((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(held, "Torva Server UAG");
  }

  InstanceLock second;
  ExpectBox(StartUp(&second), "Notice", "This application has already been started.");
  EXPECT_TRUE(fs::exists(LockPath()));

  first.Release();
  EXPECT_FALSE(fs::exists(LockPath()));
  // A lock file left behind by a copy that ended does not block.
  std::ofstream(LockPath()) << "left over";
  EXPECT_FALSE(StartUp(&second).has_value());
  second.Release();
  EXPECT_FALSE(fs::exists(LockPath()));

  // Without its sys directory the lock cannot be opened either.
  fs::remove_all(root_ / "sys");
  InstanceLock third;
  ExpectBox(StartUp(&third), "Notice", "This application has already been started.");
}

TEST(UserAdminLayout, TheListFollowsTheClientAreaAndTheColumnsSplitItsWidth) {
  Rect r = ListPlace(512, 487);
  EXPECT_EQ(r.x, 0);
  EXPECT_EQ(r.y, 128);
  EXPECT_EQ(r.w, 512);
  EXPECT_EQ(r.h, 359);
  EXPECT_EQ(ListPlace(300, 100).h, 0);

  EXPECT_EQ(ColumnWidths(512), (std::array<int, 3>{75, 362, 75}));
  EXPECT_EQ(ColumnWidths(499), (std::array<int, 3>{60, 379, 60}));
}

}  // namespace
