// Handle owners: each handle is closed exactly once, whichever way its owner
// gives it up, and a real share-locked file is released by its owner.
#include "platform/unique_handle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// A handle kind whose closes are recorded, so that double and missed closes show.
std::vector<int> g_closed;
struct CountingTraits {
  using Handle = int;
  static Handle Invalid() { return -1; }
  static bool Valid(Handle h) { return h >= 0; }
  static void Close(Handle h) { g_closed.push_back(h); }
};
using Owner = UniqueHandle<CountingTraits>;

class UniqueHandleTest : public ::testing::Test {
 protected:
  void SetUp() override { g_closed.clear(); }
};

TEST_F(UniqueHandleTest, ClosesOnceOnEveryWayOut) {
  { Owner a(1); }
  EXPECT_EQ(g_closed, (std::vector<int>{1}));

  Owner b(2);
  Owner c(std::move(b));    // the moved-from owner closes nothing
  EXPECT_FALSE(b.Valid());  // NOLINT(bugprone-use-after-move): checking the moved-from state
  c = Owner(3);             // assigning closes what was held
  EXPECT_EQ(g_closed, (std::vector<int>{1, 2}));

  int* slot = c.Receive();  // handing out the slot closes the old handle first
  EXPECT_EQ(*slot, -1);
  *slot = 4;
  EXPECT_EQ(c.Get(), 4);
  EXPECT_EQ(c.Release(), 4);  // given up: never closed by the owner
  c.Reset(5);
  c.Reset();
  EXPECT_EQ(g_closed, (std::vector<int>{1, 2, 3, 5}));
}

TEST_F(UniqueHandleTest, InvalidValuesAreNeverClosed) {
  { Owner none; }
  { Owner bad(-1); }
  EXPECT_TRUE(g_closed.empty());
  // Both failure values of CreateFile and CreateThread count as "none".
  EXPECT_FALSE(UniqueKernelHandle(INVALID_HANDLE_VALUE).Valid());
  EXPECT_FALSE(UniqueFind().Valid());
}

TEST(UniqueHandleFileTest, OwnerReleasesTheShareLockAndCloseFileReportsTheFlush) {
  char tmpl[] = "/tmp/torva-uh-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/held";
  {
    UniqueKernelHandle held(
        CreateFile(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(held.Valid());
    // Another exclusive open fails while the owner lives...
    UniqueKernelHandle second(
        CreateFile(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(second.Valid());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  }
  // ...and succeeds once it is gone.
  EXPECT_TRUE(DeleteFile(path.c_str()));

  UniqueFile f(OpenRegularFile(path.c_str(), "ab"));
  ASSERT_TRUE(f.Valid());
  ASSERT_EQ(fputs("x", f.Get()), 1);
  EXPECT_TRUE(CloseFile(f));
  EXPECT_FALSE(f.Valid());
  EXPECT_FALSE(CloseFile(f));  // nothing left to close
  EXPECT_EQ(unlink(path.c_str()), 0);
  EXPECT_EQ(rmdir(tmpl), 0);
}

}  // namespace
