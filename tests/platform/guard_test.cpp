// The calls that keep sessions inside their bounds: link-aware containment,
// files held by one writer or made for their owner alone, directory values,
// and sends whose stall is bounded by one time-out.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/socket.h"

namespace {

class GuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/torva-guard-XXXXXX";
    dir_ = mkdtemp(tmpl);
    ASSERT_EQ(mkdir(P("top").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(P("top/sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(P("elsewhere").c_str(), 0755), 0);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string P(const std::string& name) { return dir_ + "/" + name; }
  void Link(const std::string& target, const std::string& name) {
    ASSERT_EQ(symlink(target.c_str(), P(name).c_str()), 0);
  }
  int Inside(const std::string& name) { return PathIsInside(P("top").c_str(), P(name).c_str()); }
  std::string dir_;
};

TEST_F(GuardTest, PathsAreJudgedWhereTheirLinksLead) {
  Link("../elsewhere", "top/out");
  Link(P("elsewhere") + "/missing.txt", "top/dangling");
  Link("sub", "top/in");
  Link("loop2", "top/loop1");
  Link("loop1", "top/loop2");
  Link("../top/sub/../../elsewhere", "top/twisted");
  EXPECT_EQ(Inside("top"), 1);
  EXPECT_EQ(Inside("top/sub/new.txt"), 1);  // missing names are taken as written
  EXPECT_EQ(Inside("top/missing/deeper/x"), 1);
  EXPECT_EQ(Inside("top/in/file"), 1);   // a link that stays inside
  EXPECT_EQ(Inside("top/out"), 0);       // at the end
  EXPECT_EQ(Inside("top/out/x/y"), 0);   // in the middle
  EXPECT_EQ(Inside("top/dangling"), 0);  // dangling, target missing
  EXPECT_EQ(Inside("top/twisted"), 0);
  EXPECT_EQ(Inside("top/sub/../../elsewhere"), 0);
  EXPECT_EQ(Inside("topper"), 0);  // a sibling sharing the prefix
  EXPECT_EQ(Inside("top/loop1"), -1);
  // A top directory reached through a link contains what lies below it.
  Link("top", "top.lnk");
  EXPECT_EQ(PathIsInside(P("top.lnk").c_str(), P("top/sub").c_str()), 1);
  EXPECT_EQ(PathIsInside(P("top.lnk").c_str(), P("top/out/x").c_str()), 0);
}

TEST_F(GuardTest, DirectoryValuesThatNameTheRootOrNothingFixed) {
  for (const char* root : {"/", "//", "/.", "/..", "/tmp/..", "/./tmp/../"}) {
    EXPECT_TRUE(PathIsRoot(root)) << root;
  }
  for (const char* other : {"/tmp", "/tmp/../var", "relative", ""}) {
    EXPECT_FALSE(PathIsRoot(other)) << other;
  }
  EXPECT_TRUE(PathIsRelative("dclist"));
  EXPECT_TRUE(PathIsRelative("."));
  EXPECT_TRUE(PathIsRelative(""));
  EXPECT_FALSE(PathIsRelative("/srv/dclist"));
}

TEST_F(GuardTest, AFileHeldForWritingRefusesASecondWriter) {
  const std::string f = P("top/upload.bin");
  FILE* holder = OpenRegularFileEx(f.c_str(), "ab", FILE_SHARE_READ, nullptr);
  ASSERT_NE(holder, nullptr);
  fputs("first", holder);
  fflush(holder);
  // In this very process too, and a "w" open empties nothing it cannot hold.
  EXPECT_EQ(OpenRegularFileEx(f.c_str(), "wb", FILE_SHARE_READ, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(DeleteFile(f.c_str()));
  FILE* reader = OpenRegularFile(f.c_str(), "rb");
  ASSERT_NE(reader, nullptr);
  char buf[16] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf, reader), 5u);
  fclose(reader);
  fclose(holder);
  FILE* next = OpenRegularFileEx(f.c_str(), "wb", FILE_SHARE_READ, nullptr);
  ASSERT_NE(next, nullptr);
  fclose(next);
  struct stat st;
  ASSERT_EQ(stat(f.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);
}

TEST_F(GuardTest, OwnerOnlyObjects) {
  mode_t old = umask(022);
  ASSERT_TRUE(CreateDirectory(P("private").c_str(), OwnerOnlySecurity()));
  FILE* f = OpenRegularFileEx(P("private/new").c_str(), "wbx", FILE_SHARE_READ | FILE_SHARE_WRITE,
                              OwnerOnlySecurity());
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_EQ(OpenRegularFileEx(P("private/new").c_str(), "wbx", FILE_SHARE_READ | FILE_SHARE_WRITE,
                              OwnerOnlySecurity()),
            nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  // An old file opened for writing loses the access of others.
  f = OpenRegularFile(P("old").c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fclose(f);
  f = OpenRegularFileEx(P("old").c_str(), "ab", FILE_SHARE_READ | FILE_SHARE_WRITE,
                        OwnerOnlySecurity());
  ASSERT_NE(f, nullptr);
  fclose(f);
  umask(old);
  struct stat st;
  ASSERT_EQ(stat(P("private").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(P("private/new").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(P("old").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(GuardTest, PrivateFilesOfRootGoToTheirDirectoryOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "only root can give files away";
  ASSERT_TRUE(CreateDirectory(P("service").c_str(), OwnerOnlySecurity()));
  ASSERT_EQ(chown(P("service").c_str(), 65534, 65534), 0);
  for (const char* name : {"service/made", "own"}) {
    FILE* f = OpenRegularFileEx(P(name).c_str(), "wbx", FILE_SHARE_READ | FILE_SHARE_WRITE,
                                OwnerOnlySecurity());
    ASSERT_NE(f, nullptr) << name;
    fclose(f);
  }
  struct stat st;
  ASSERT_EQ(stat(P("service/made").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // A directory of root's keeps root's files.
  ASSERT_EQ(stat(P("own").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

TEST(SendStall, OneTimeOutWithoutProgressEndsASend) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_EQ(SockSetTimeouts(sv[0], 1), 0);
  // Far more than the socket takes: the peer never reads.
  std::vector<char> data(8 << 20, 'x');
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SockSendAll(sv[0], data.data(), static_cast<int>(data.size())), SOCKET_ERROR);
  auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(SockLastError(), WSAETIMEDOUT);
  EXPECT_GE(secs, 0.9);
  EXPECT_LT(secs, 1.8);  // one time-out, not one per partial send
  close(sv[0]);
  close(sv[1]);
}

}  // namespace
