// The names-only directory search that names-only listings use must see the
// same entries, directories and hidden entries as the full search, whatever
// kind of entry the directory holds.
#include "platform/fs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

struct Seen {
  bool dir;
  bool hidden;
  bool operator==(const Seen& o) const { return dir == o.dir && hidden == o.hidden; }
};

std::map<std::string, Seen> Search(HANDLE (*first)(const char*, WIN32_FIND_DATA*),
                                   const std::string& pattern) {
  std::map<std::string, Seen> out;
  WIN32_FIND_DATA fd;
  HANDLE h = first(pattern.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    out[fd.cFileName] = Seen{(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                             (fd.dwFileAttributes & FILE_ATTRIBUTE_HIDDEN) != 0};
  } while (FindNextFile(h, &fd));
  FindClose(h);
  return out;
}

class NamesSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/torva-names-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  void Shell(const std::string& cmd) {
    ASSERT_EQ(system(("cd '" + dir_ + "' && " + cmd).c_str()), 0);
  }

  std::string dir_;
};

TEST_F(NamesSearch, SameEntriesAndKindsAsTheFullSearch) {
  Shell(
      "touch file .hidden && mkdir sub .hiddendir && mkfifo fifo && ln -s sub linkdir && "
      "ln -s file linkfile && ln -s missing dangling");
  auto full = Search(FindFirstFile, P("*"));
  auto names = Search(FindFirstFileNames, P("*"));
  EXPECT_EQ(names, full);
  EXPECT_EQ(names.size(), 10u);
  EXPECT_TRUE(names["sub"].dir);
  EXPECT_TRUE(names["linkdir"].dir);  // a link to a directory counts as one
  EXPECT_FALSE(names["linkfile"].dir);
  EXPECT_FALSE(names["dangling"].dir);
  EXPECT_FALSE(names["fifo"].dir);
  EXPECT_TRUE(names[".hiddendir"].dir && names[".hiddendir"].hidden);
  EXPECT_TRUE(names[".hidden"].hidden);
  EXPECT_FALSE(names["."].hidden || names[".."].hidden);
  EXPECT_TRUE(names["."].dir && names[".."].dir);
}

TEST_F(NamesSearch, PatternsAndMissingDirectories) {
  Shell("touch a.dca b.txt");
  auto dca = Search(FindFirstFileNames, P("*.dca"));
  ASSERT_EQ(dca.size(), 1u);
  EXPECT_EQ(dca.begin()->first, "a.dca");
  WIN32_FIND_DATA fd;
  EXPECT_EQ(FindFirstFileNames(P("*.none").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(FindFirstFileNames(P("missing/*").c_str(), &fd), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
