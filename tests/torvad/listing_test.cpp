// Listing line formats and the choice of format: the default format, the
// Unix-like format with its option letters, the names-only format, and which
// of them LIST and NLST use under each configuration.
#include "torvad/Listing.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "torvad/ConfigTbl.h"

namespace {

constexpr DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD kDir = FILE_ATTRIBUTE_DIRECTORY;

SYSTEMTIME Time(int y, int mo, int d, int h, int mi, int s) {
  SYSTEMTIME t{};
  t.wYear = static_cast<WORD>(y);
  t.wMonth = static_cast<WORD>(mo);
  t.wDay = static_cast<WORD>(d);
  t.wHour = static_cast<WORD>(h);
  t.wMinute = static_cast<WORD>(mi);
  t.wSecond = static_cast<WORD>(s);
  return t;
}

ListEntry Entry(const char* name, DWORD attrs, uint64_t size,
                SYSTEMTIME t = Time(2024, 3, 5, 9, 7, 2)) {
  return ListEntry{name, attrs, size, t};
}

ListView Below(int year = 2024) {
  ListView v{};
  v.current_year = year;
  return v;
}

ListView Top(int year = 2024) {
  ListView v = Below(year);
  v.at_top = true;
  return v;
}

// The line of an entry, or "<skipped>".
using Formatter = bool (*)(const ListEntry&, const ListView&, char*, size_t);
std::string Line(Formatter f, const ListEntry& e, const ListView& v) {
  char out[1100];
  memset(out, 'Z', sizeof out);
  if (!f(e, v, out, sizeof out)) return "<skipped>";
  return out;
}

TEST(DefaultFormat, FilesShowDateTimeSizeAndName) {
  EXPECT_EQ(Line(DefaultLine, Entry("a.txt", kFile, 1234), Below()),
            "2024/03/05 09:07:02         1234 byte a.txt");
  EXPECT_EQ(Line(DefaultLine, Entry("zero", kFile, 0, Time(1999, 12, 31, 23, 59, 58)), Below()),
            "1999/12/31 23:59:58            0 byte zero");
  // The largest size below 4 GiB still fits the column exactly.
  EXPECT_EQ(Line(DefaultLine, Entry("big", kFile, 0xFFFFFFFFull), Below()),
            "2024/03/05 09:07:02   4294967295 byte big");
  // A read-only file is shown like any other.
  EXPECT_EQ(Line(DefaultLine, Entry("ro", kFile | FILE_ATTRIBUTE_READONLY, 7), Below()),
            "2024/03/05 09:07:02            7 byte ro");
}

TEST(DefaultFormat, FilesOfFourGibibytesAndMoreHaveNoSize) {
  EXPECT_EQ(Line(DefaultLine, Entry("huge", kFile, 5ull << 30), Below()),
            "2024/03/05 09:07:02 ???????????? byte huge");
  EXPECT_EQ(Line(DefaultLine, Entry("edge", kFile, 1ull << 32), Below()),
            "2024/03/05 09:07:02 ???????????? byte edge");
}

TEST(DefaultFormat, DirectoriesAndNormalEntriesAreBracketed) {
  const std::string blanks(17, ' ');
  EXPECT_EQ(Line(DefaultLine, Entry("docs", kDir, 0), Below()),
            "2024/03/05 09:07:02 " + blanks + " [docs]");
  // An entry whose only attribute is "normal" takes the bracketed form too,
  // without its size.
  EXPECT_EQ(Line(DefaultLine, Entry("plain", FILE_ATTRIBUTE_NORMAL, 99), Below()),
            "2024/03/05 09:07:02 " + blanks + " [plain]");
  // A hidden directory is still listed: the directory rule comes first.
  EXPECT_EQ(Line(DefaultLine, Entry(".git", kDir | FILE_ATTRIBUTE_HIDDEN, 0), Below()),
            "2024/03/05 09:07:02 " + blanks + " [.git]");
}

TEST(DefaultFormat, DotEntriesOnlyBelowTheTop) {
  EXPECT_EQ(Line(DefaultLine, Entry(".", kDir, 0), Top()), "<skipped>");
  EXPECT_EQ(Line(DefaultLine, Entry("..", kDir, 0), Top()), "<skipped>");
  EXPECT_NE(Line(DefaultLine, Entry(".", kDir, 0), Below()), "<skipped>");
  EXPECT_NE(Line(DefaultLine, Entry("..", kDir, 0), Below()), "<skipped>");
  // Other directories are listed at the top as well.
  EXPECT_NE(Line(DefaultLine, Entry("docs", kDir, 0), Top()), "<skipped>");
}

TEST(DefaultFormat, HiddenFilesAndHiddenDirectoriesSetting) {
  EXPECT_EQ(Line(DefaultLine, Entry(".profile", kFile | FILE_ATTRIBUTE_HIDDEN, 5), Below()),
            "<skipped>");
  ListView v = Below();
  v.no_list_dir = true;
  EXPECT_EQ(Line(DefaultLine, Entry("docs", kDir, 0), v), "<skipped>");
  EXPECT_EQ(Line(DefaultLine, Entry("..", kDir, 0), v), "<skipped>");
  EXPECT_EQ(Line(DefaultLine, Entry("a", kFile, 1), v), "2024/03/05 09:07:02            1 byte a");
}

TEST(UnixFormat, PermissionsSizeDateAndName) {
  ListView v = Below(2024);
  v.show_hidden = true;
  EXPECT_EQ(Line(UnixLine, Entry("a.txt", kFile, 1234), v),
            "-rwxrwxrwx 1 username groupnam         1234 Mar  5 09:07 a.txt");
  EXPECT_EQ(Line(UnixLine, Entry("docs", kDir, 0, Time(2024, 11, 23, 0, 5, 0)), v),
            "drwxrwxrwx 1 username groupnam            0 Nov 23 00:05 docs");
  EXPECT_EQ(Line(UnixLine, Entry("ro", kFile | FILE_ATTRIBUTE_READONLY, 3), v),
            "-r-xr-xr-x 1 username groupnam            3 Mar  5 09:07 ro");
  EXPECT_EQ(Line(UnixLine, Entry("rodir", kDir | FILE_ATTRIBUTE_READONLY, 0), v),
            "dr-xr-xr-x 1 username groupnam            0 Mar  5 09:07 rodir");
}

TEST(UnixFormat, OtherYearsShowTheYearInsteadOfTheTime) {
  ListView v = Below(2025);
  EXPECT_EQ(Line(UnixLine, Entry("old", kFile, 10, Time(2024, 12, 31, 23, 59, 0)), v),
            "-rwxrwxrwx 1 username groupnam           10 Dec 31 2024 old");
  EXPECT_EQ(Line(UnixLine, Entry("future", kFile, 10, Time(2031, 1, 2, 3, 4, 5)), v),
            "-rwxrwxrwx 1 username groupnam           10 Jan  2 2031 future");
}

TEST(UnixFormat, EnglishMonthNames) {
  const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int m = 1; m <= 12; ++m) {
    std::string line = Line(UnixLine, Entry("f", kFile, 1, Time(2024, m, 10, 1, 2, 3)), Below());
    EXPECT_NE(line.find(std::string(" ") + names[m - 1] + " 10 01:02 f"), std::string::npos)
        << line;
  }
}

TEST(UnixFormat, SizesAreShownInFullPastFourGibibytes) {
  EXPECT_EQ(Line(UnixLine, Entry("huge", kFile, 5ull << 30), Below()),
            "-rwxrwxrwx 1 username groupnam   5368709120 Mar  5 09:07 huge");
  EXPECT_EQ(Line(UnixLine, Entry("edge", kFile, 1ull << 32), Below()),
            "-rwxrwxrwx 1 username groupnam   4294967296 Mar  5 09:07 edge");
  // Wider than the column: the column grows, nothing is cut.
  EXPECT_EQ(Line(UnixLine, Entry("vast", kFile, 12345678901234ull), Below()),
            "-rwxrwxrwx 1 username groupnam 12345678901234 Mar  5 09:07 vast");
}

TEST(UnixFormat, OptionLettersDecideHiddenAndDotEntries) {
  const ListEntry hidden = Entry(".profile", kFile | FILE_ATTRIBUTE_HIDDEN, 5);
  const ListEntry dot = Entry(".", kDir, 0);
  const ListEntry dotdot = Entry("..", kDir, 0);
  ListView v = Below();
  EXPECT_EQ(Line(UnixLine, hidden, v), "<skipped>");
  EXPECT_EQ(Line(UnixLine, dot, v), "<skipped>");
  EXPECT_EQ(Line(UnixLine, dotdot, v), "<skipped>");
  v.show_hidden = true;
  EXPECT_EQ(Line(UnixLine, hidden, v),
            "-rwxrwxrwx 1 username groupnam            5 Mar  5 09:07 .profile");
  EXPECT_EQ(Line(UnixLine, dot, v), "<skipped>");
  v.show_dots = true;
  EXPECT_EQ(Line(UnixLine, dot, v), "drwxrwxrwx 1 username groupnam            0 Mar  5 09:07 .");
  EXPECT_EQ(Line(UnixLine, dotdot, v),
            "drwxrwxrwx 1 username groupnam            0 Mar  5 09:07 ..");
  // At the top the dot entries follow the option as well.
  ListView top = Top();
  top.show_dots = true;
  EXPECT_NE(Line(UnixLine, dot, top), "<skipped>");
  top.no_list_dir = true;
  EXPECT_EQ(Line(UnixLine, dot, top), "<skipped>");
  EXPECT_EQ(Line(UnixLine, Entry("docs", kDir, 0), top), "<skipped>");
}

TEST(NamesFormat, BareNamesOfEveryEntry) {
  EXPECT_EQ(Line(NameLine, Entry("a.txt", kFile, 1), Top()), "a.txt");
  EXPECT_EQ(Line(NameLine, Entry(".", kDir, 0), Top()), ".");
  EXPECT_EQ(Line(NameLine, Entry("..", kDir, 0), Top()), "..");
  EXPECT_EQ(Line(NameLine, Entry(".hidden", kFile | FILE_ATTRIBUTE_HIDDEN, 0), Top()), ".hidden");
  EXPECT_EQ(Line(NameLine, Entry("docs", kDir, 0), Below()), "docs");
  ListView v = Below();
  v.no_list_dir = true;
  EXPECT_EQ(Line(NameLine, Entry("docs", kDir, 0), v), "<skipped>");
  EXPECT_EQ(Line(NameLine, Entry("a.txt", kFile, 1), v), "a.txt");
}

TEST(LineBuffers, LongLinesAreCutAtTheBuffer) {
  std::string name(300, 'n');
  char small[40];
  ASSERT_TRUE(UnixLine(Entry(name.c_str(), kFile, 1), Below(), small, sizeof small));
  EXPECT_EQ(strlen(small), sizeof small - 1);
  EXPECT_EQ(std::string(small),
            std::string("-rwxrwxrwx 1 username groupnam         ").substr(0, 39));
  ASSERT_TRUE(DefaultLine(Entry(name.c_str(), kFile, 1), Below(), small, sizeof small));
  EXPECT_EQ(strlen(small), sizeof small - 1);
  ASSERT_TRUE(NameLine(Entry(name.c_str(), kFile, 1), Below(), small, sizeof small));
  EXPECT_EQ(std::string(small), name.substr(0, sizeof small - 1));
}

struct ChoiceCase {
  int list_type;
  int list_type_unix;
  const char* arg;
  ListFormat format;
  const char* text;
};

TEST(FormatChoice, ConfiguredTypeAndClientArgument) {
  const ChoiceCase cases[] = {
      // A configured type wins; the Unix-like one always uses -lLa.
      {LIST_DEFAULT, 1, "-l", ListFormat::kDefault, "-l"},
      {LIST_UNIX, 0, nullptr, ListFormat::kUnix, "-lLa"},
      {LIST_UNIX, 1, "-l", ListFormat::kUnix, "-lLa"},
      {LIST_NAMEONLY, 1, "docs", ListFormat::kNames, "docs"},
      {LIST_NAMEONLY, 0, nullptr, ListFormat::kNames, nullptr},
      // Unset, list-type-unix on: Unix-like with the client's options.
      {LIST_UNSET, 1, nullptr, ListFormat::kUnix, "-lLa"},
      {LIST_UNSET, 1, "-l", ListFormat::kUnix, "-l"},
      {LIST_UNSET, 1, "docs", ListFormat::kUnix, "docs"},
      // Unset, list-type-unix off: only options select the Unix-like format.
      {LIST_UNSET, 0, nullptr, ListFormat::kDefault, nullptr},
      {LIST_UNSET, 0, "-la", ListFormat::kUnix, "-la"},
      {LIST_UNSET, 0, "docs", ListFormat::kDefault, "docs"},
      {LIST_UNSET, 0, " -l", ListFormat::kDefault, " -l"},
  };
  for (const ChoiceCase& c : cases) {
    ListChoice got = ChooseListFormat(c.list_type, c.list_type_unix, c.arg);
    SCOPED_TRACE(std::to_string(c.list_type) + "/" + std::to_string(c.list_type_unix) + "/" +
                 (c.arg ? c.arg : "(none)"));
    EXPECT_EQ(got.format, c.format);
    if (c.text == nullptr) {
      EXPECT_EQ(got.text, nullptr);
    } else {
      ASSERT_NE(got.text, nullptr);
      EXPECT_STREQ(got.text, c.text);
    }
  }
}

}  // namespace
