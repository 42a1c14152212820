// One step of the directory walk behind CWD, MKD and RMD: climbing, staying,
// descending, creating, and every refusal leaving the path as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "torvad/ConfigTbl.h"
#include "torvad/FtpTbl.h"
#include "torvad/Paths.h"

namespace {

class WalkStepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/torva-walk-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    top_ = tmpl;
    ASSERT_EQ(mkdir((top_ + "/docs").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((top_ + "/docs/2024").c_str(), 0755), 0);
    FILE* f = fopen((top_ + "/plain").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    g_config = static_cast<ConfigTbl*>(calloc(1, sizeof(ConfigTbl)));
    FtpTblClear(&ftp_);  // language "ja": Shift_JIS aware
    snprintf(ftp_.root_dir, sizeof ftp_.root_dir, "%s/", top_.c_str());
    strcpy(path_, "\\");
  }
  void TearDown() override {
    free(g_config);
    g_config = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(top_, ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  WalkResult Step(const char* comp, Walk mode = Walk::kCheck) {
    return WalkStep(&ftp_, path_, comp, mode);
  }
  bool IsDir(const std::string& rel) {
    struct stat st;
    return stat((top_ + "/" + rel).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  std::string top_;
  FtpTbl ftp_;
  char path_[1024];
};

TEST_F(WalkStepTest, DescendsAndClimbsButNeverAboveTheTop) {
  EXPECT_EQ(Step("docs"), kWalkOk);
  EXPECT_STREQ(path_, "docs\\");
  EXPECT_EQ(Step("2024"), kWalkOk);
  EXPECT_STREQ(path_, "docs\\2024\\");
  EXPECT_EQ(Step(""), kWalkOk);  // empty and "." components stay
  EXPECT_EQ(Step("."), kWalkOk);
  EXPECT_STREQ(path_, "docs\\2024\\");
  EXPECT_EQ(Step(".."), kWalkOk);
  EXPECT_STREQ(path_, "docs\\");
  EXPECT_EQ(Step(".."), kWalkOk);
  EXPECT_STREQ(path_, "\\");
  EXPECT_EQ(Step(".."), kWalkError);
  EXPECT_STREQ(path_, "\\");
}

TEST_F(WalkStepTest, RefusalsLeaveThePathAndTheDiskAlone) {
  ASSERT_EQ(Step("docs"), kWalkOk);
  EXPECT_EQ(Step("missing"), kWalkError);
  // A file is no directory, and creating one in its place is refused too.
  strcpy(path_, "\\");
  EXPECT_EQ(Step("plain"), kWalkError);
  EXPECT_EQ(Step("plain", Walk::kCreate), kWalkError);
  EXPECT_STREQ(path_, "\\");
  // A component with the local separator would be two steps in one.
  EXPECT_EQ(Step("docs/2024"), kWalkError);
  EXPECT_EQ(Step("x/..", Walk::kCreate), kWalkError);
  EXPECT_FALSE(IsDir("x"));
  EXPECT_STREQ(path_, "\\");
}

TEST_F(WalkStepTest, CreatesMissingDirectoriesOnlyWhenAsked) {
  EXPECT_EQ(Step("new"), kWalkError);
  EXPECT_FALSE(IsDir("new"));
  EXPECT_EQ(Step("new", Walk::kCreate), kWalkCreated);
  EXPECT_TRUE(IsDir("new"));
  EXPECT_STREQ(path_, "new\\");
  EXPECT_EQ(Step("..", Walk::kCreate), kWalkOk);
  EXPECT_EQ(Step("new", Walk::kCreate), kWalkOk);  // there already
}

TEST_F(WalkStepTest, PathsThatWouldNotFitAreRefused) {
  // 1000 characters of directories and a 30-character name: past 1023.
  std::string deep;
  while (deep.size() < 1000) deep += "abcdefghi\\";
  strcpy(path_, deep.c_str());
  EXPECT_EQ(Step(std::string(30, 'n').c_str(), Walk::kCreate), kWalkError);
  EXPECT_EQ(std::string(path_), deep);
}

TEST_F(WalkStepTest, ClimbingSkipsShiftJisTrailBytesThatLookLikeSeparators) {
  // "\x83\x5c" is one Shift_JIS character whose second byte is '\'.
  strcpy(path_, "docs\\\x83\x5c\\");
  EXPECT_EQ(Step(".."), kWalkOk);
  EXPECT_STREQ(path_, "docs\\");
}

}  // namespace
