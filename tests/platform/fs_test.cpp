// Files: the share lock that a holder without sharing keeps, the directory
// search, attributes and the refusal to open anything but a regular file.
#include "platform/fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>

namespace {

class FsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/torva-fs-XXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string P(const char* name) { return dir_ + "/" + name; }
  void Touch(const char* name) {
    FILE* f = fopen(P(name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
  }
  std::string dir_;
};

TEST_F(FsTest, DeleteFailsWithSharingViolationWhileAnotherProcessHoldsTheFile) {
  Touch("stop.lck");
  std::string path = P("stop.lck");
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    HANDLE h =
        CreateFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
    (void)!write(ready[1], &c, 1);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_FALSE(DeleteFile(path.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A second exclusive open is refused the same way.
  EXPECT_EQ(CreateFile(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(IsRegularFile(path.c_str()), 1);
  (void)!write(release[1], "x", 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(DeleteFile(path.c_str()));
  EXPECT_EQ(IsRegularFile(path.c_str()), -1);
  EXPECT_FALSE(DeleteFile(path.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FsTest, SearchPatternsAttributesAndMissingDirectories) {
  Touch("a.dca");
  Touch("b.txt");
  Touch(".hidden");
  ASSERT_TRUE(CreateDirectory(P("sub").c_str(), nullptr));
  chmod(P("b.txt").c_str(), 0444);

  WIN32_FIND_DATA fd;
  std::set<std::string> all;
  HANDLE h = FindFirstFile(P("*").c_str(), &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  do {
    all.insert(fd.cFileName);
    std::string n = fd.cFileName;
    bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    EXPECT_EQ(dir, n == "sub" || n == "." || n == "..") << n;
    EXPECT_EQ((fd.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0, n == "b.txt") << n;
    EXPECT_EQ((fd.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0, n == ".hidden") << n;
    if (n == "a.dca") {
      EXPECT_EQ(fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN |
                                       FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_NORMAL),
                0u);
    }
  } while (FindNextFile(h, &fd));
  EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
  FindClose(h);
  EXPECT_EQ(all, (std::set<std::string>{".", "..", "a.dca", "b.txt", ".hidden", "sub"}));

  h = FindFirstFile(P("*.dca").c_str(), &fd);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(fd.cFileName, "a.dca");
  EXPECT_FALSE(FindNextFile(h, &fd));
  FindClose(h);

  EXPECT_EQ(FindFirstFile(P("*.none").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFile(P("missing/*").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FsTest, ErrorNumbersOfDirectoriesAndRenames) {
  ASSERT_TRUE(CreateDirectory(P("d").c_str(), nullptr));
  EXPECT_FALSE(CreateDirectory(P("d").c_str(), nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  Touch("d/inner");
  EXPECT_FALSE(RemoveDirectory(P("d").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  Touch("x");
  Touch("y");
  EXPECT_FALSE(MoveFile(P("x").c_str(), P("y").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFile(P("x").c_str(), P("z").c_str()));
  EXPECT_EQ(GetFileAttributes(P("x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FsTest, OnlyRegularFilesOpenAndFifosNeverBlock) {
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0644), 0);
  EXPECT_EQ(OpenRegularFile(P("fifo").c_str(), "rb"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(OpenRegularFile(P("fifo").c_str(), "ab"), nullptr);
  EXPECT_EQ(IsRegularFile(P("fifo").c_str()), 0);
  EXPECT_EQ(OpenRegularFile(dir_.c_str(), "rb"), nullptr);
  EXPECT_EQ(OpenRegularFile(P("none").c_str(), "rb"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  FILE* f = OpenRegularFile(P("data").c_str(), "ab");
  ASSERT_NE(f, nullptr);
  fputs("hello", f);
  fflush(f);
  EXPECT_EQ(FileStreamSize(f), 5);
  EXPECT_TRUE(FileStreamTruncate(f));
  fputs("xy", f);
  fclose(f);
  f = OpenRegularFile(P("data").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[8] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 2u);
  EXPECT_STREQ(buf, "xy");
  fclose(f);
}

TEST_F(FsTest, ExclusiveCreationNeverOpensAnExistingName) {
  FILE* f = OpenRegularFile(P("new.bin").c_str(), "wbx");
  ASSERT_NE(f, nullptr);
  fputs("one", f);
  fclose(f);
  // Whatever holds the name (a file, a directory), it is taken.
  mkdir(P("dir").c_str(), 0777);
  for (const char* taken : {"new.bin", "dir"}) {
    EXPECT_EQ(OpenRegularFile(P(taken).c_str(), "wbx"), nullptr) << taken;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS)) << taken;
  }
  f = OpenRegularFile(P("new.bin").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[8] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 3u);
  fclose(f);
}

TEST_F(FsTest, StreamsSeekAndTakeTheirSizeAt64Bits) {
  FILE* f = OpenRegularFile(P("s.bin").c_str(), "ab");
  ASSERT_NE(f, nullptr);
  fputs("0123456789", f);
  ASSERT_TRUE(FileStreamSetSize(f, 4));
  fputs("xy", f);                                // appends after the new end
  ASSERT_TRUE(FileStreamSetSize(f, 5ll << 30));  // sparse, past 4 GiB
  EXPECT_EQ(FileStreamSize(f), 5ll << 30);
  ASSERT_TRUE(FileStreamSetSize(f, 6));
  fclose(f);
  f = OpenRegularFile(P("s.bin").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(FileStreamSeek(f, 3));
  char buf[8] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf, f), 3u);
  EXPECT_STREQ(buf, "3xy");
  fclose(f);
}

TEST_F(FsTest, UtcCalendarTimesAndSettingTheWriteTime) {
  SYSTEMTIME st{};
  st.wYear = 2020;
  st.wMonth = 2;
  st.wDay = 29;
  st.wHour = 23;
  st.wMinute = 59;
  st.wSecond = 58;
  FILETIME ft{};
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  Touch("t.txt");
  HANDLE h = CreateFile(P("t.txt").c_str(), FILE_WRITE_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
  CloseHandle(h);
  struct stat sb;
  ASSERT_EQ(stat(P("t.txt").c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mtime, 1583020798);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesEx(P("t.txt").c_str(), GetFileExInfoStandard, &data));
  SYSTEMTIME back{};
  ASSERT_TRUE(FileTimeToSystemTime(&data.ftLastWriteTime, &back));
  EXPECT_EQ(back.wYear, 2020);
  EXPECT_EQ(back.wMonth, 2);
  EXPECT_EQ(back.wDay, 29);
  EXPECT_EQ(back.wHour, 23);
  EXPECT_EQ(back.wSecond, 58);
  // Fields out of range are refused, 29 February of other years too.
  for (int field = 0; field < 5; ++field) {
    SYSTEMTIME bad = st;
    switch (field) {
      case 0: bad.wYear = 2021; break;
      case 1: bad.wMonth = 13; break;
      case 2: bad.wHour = 24; break;
      case 3: bad.wMinute = 60; break;
      case 4: bad.wDay = 0; break;
    }
    EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft)) << field;
  }
}

}  // namespace
