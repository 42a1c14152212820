// The pieces of the client features that need no network: text in the LF
// convention, EPRT arguments and the bounce rule, time values, machine
// listing facts, ABOR in the control stream, list-standard arguments and
// IPv6 disconnect file names.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/ban_address.h"
#include "platform/text.h"
#include "stream_contents.h"
#include "torvad/Abort.h"
#include "torvad/DataConn.h"
#include "torvad/FileTimes.h"
#include "torvad/Listing.h"
#include "torvad/MachineList.h"
#include "torvad/Transfer.h"

namespace {

using namespace std::string_literals;

// ---- text in the LF convention ----

// The wire form of a whole file read in blocks of `block` bytes.
std::string Expanded(const std::string& file, size_t block) {
  std::string wire;
  bool prev_cr = false;
  for (size_t at = 0; at < file.size(); at += block) {
    std::string part = file.substr(at, block);
    std::vector<char> buf(2 * part.size() + 1);
    memcpy(buf.data(), part.data(), part.size());
    wire.append(buf.data(), ExpandLineEnds(buf.data(), part.size(), &prev_cr));
  }
  return wire;
}

// The stored form of wire bytes received in blocks of `block` bytes.
std::string Stored(const std::string& wire, size_t block) {
  FILE* f = tmpfile();
  if (f == nullptr) return "<no file>";
  bool held = false;
  for (size_t at = 0; at < wire.size(); at += block) {
    std::string part = wire.substr(at, block);
    EXPECT_TRUE(TextWriteLf(f, part.data(), part.size(), &held));
  }
  EXPECT_TRUE(TextWriteLf(f, nullptr, 0, &held));
  std::string out = StreamContents(f);
  fclose(f);
  return out;
}

TEST(TextConvention, ThisHostStoresLinesWithLf) {
  EXPECT_EQ(HostTextConvention(), TextConvention::kLf);
}

TEST(TextConvention, LfGoesOutAsCrLfAndCrLfStays) {
  EXPECT_EQ(Expanded("a\nb\n", 100), "a\r\nb\r\n");
  EXPECT_EQ(Expanded("a\r\nb\n\n", 100), "a\r\nb\r\n\r\n");
  EXPECT_EQ(Expanded("\x1A\0x\r"s, 100), "\x1A\0x\r"s);  // nothing ends the text
  EXPECT_EQ(Expanded("", 100), "");
}

TEST(TextConvention, CrLfComesInAsLfAndOtherCrsStay) {
  EXPECT_EQ(Stored("a\r\nb\r\n", 100), "a\nb\n");
  EXPECT_EQ(Stored("lone\rcr\r\r\n", 100), "lone\rcr\r\n");
  EXPECT_EQ(Stored("end\r", 100), "end\r");
  EXPECT_EQ(Stored("a\nb", 100), "a\nb");
}

TEST(TextConvention, BlockBoundariesChangeNothing) {
  std::mt19937 rng(7);
  std::string file;
  const char alphabet[] = {'a', '\n', '\r', '\n', 'b'};
  for (int i = 0; i < 5000; ++i) file += alphabet[rng() % sizeof alphabet];
  const std::string wire = Expanded(file, file.size());
  const std::string stored = Stored(wire, wire.size());
  for (size_t block : {1u, 2u, 3u, 7u, 64u, 4096u}) {
    EXPECT_EQ(Expanded(file, block), wire) << block;
    EXPECT_EQ(Stored(wire, block), stored) << block;
  }
  // A round trip keeps every file whose CRs all stand before LFs or alone.
  std::string plain;
  for (char c : file) plain += c == '\r' ? 'x' : c;
  EXPECT_EQ(Stored(Expanded(plain, 333), 555), plain);
}

// ---- EPRT ----

uint16_t Net(unsigned port) {
  const uint8_t b[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
  uint16_t v;
  memcpy(&v, b, 2);
  return v;
}

TEST(Eprt, BothFamiliesAndAnyDelimiter) {
  SockAddress a{};
  ASSERT_EQ(ParseEprt("|1|132.235.1.2|6275|", &a), EprtResult::kOk);
  EXPECT_EQ(a.family, WS_AF_INET);
  EXPECT_EQ(a.addr[0], 132);
  EXPECT_EQ(a.addr[3], 2);
  EXPECT_EQ(a.port, Net(6275));
  ASSERT_EQ(ParseEprt("!2!1080::8:800:200C:417A!5282!", &a), EprtResult::kOk);
  EXPECT_EQ(a.family, WS_AF_INET6);
  EXPECT_EQ(a.addr[0], 0x10);
  EXPECT_EQ(a.addr[15], 0x7A);
  EXPECT_EQ(ParseEprt("|3|1.2.3.4|5|", &a), EprtResult::kUnsupported);
  for (const char* bad : {"", "|1|1.2.3.4|5", "|1|1.2.3.4|5||", "1|1.2.3.4|5|", "|1|::1|5|",
                          "|2|1.2.3.4|5|", "|1|1.2.3.4|0|", "|1|1.2.3.4|65536|", "|1|1.2.3.4|5a|",
                          "|x|1.2.3.4|5|", "||1.2.3.4|5|", "|1||5|"})
    EXPECT_EQ(ParseEprt(bad, &a), EprtResult::kSyntax) << bad;
}

TEST(Eprt, OnlyTheClientItselfOnUnprivilegedPorts) {
  SockAddress peer4{}, peer6{}, target{};
  ASSERT_EQ(ParseEprt("|1|10.0.0.5|1024|", &target), EprtResult::kOk);
  ASSERT_EQ(ParseEprt("|1|10.0.0.5|1|", &peer4), EprtResult::kOk);
  ASSERT_EQ(ParseEprt("|2|::1|1|", &peer6), EprtResult::kOk);
  EXPECT_TRUE(ActiveTargetAllowed(target, peer4));
  EXPECT_FALSE(ActiveTargetAllowed(target, peer6));
  target.port = Net(1023);
  EXPECT_FALSE(ActiveTargetAllowed(target, peer4));
  ASSERT_EQ(ParseEprt("|2|::1|40000|", &target), EprtResult::kOk);
  EXPECT_TRUE(ActiveTargetAllowed(target, peer6));
  EXPECT_FALSE(ActiveTargetAllowed(target, peer4));
  ASSERT_EQ(ParseEprt("|2|::2|40000|", &target), EprtResult::kOk);
  EXPECT_FALSE(ActiveTargetAllowed(target, peer6));
}

// ---- time values ----

TEST(TimeVal, ReadsAndWritesUtc) {
  FILETIME t{};
  ASSERT_TRUE(ParseTimeVal("19700101000000", &t));
  EXPECT_EQ((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime,
            116444736000000000ULL);
  char text[16];
  for (const char* v : {"20240229235959", "16010101000000", "99991231235959", "20000301000000"}) {
    ASSERT_TRUE(ParseTimeVal(v, &t)) << v;
    ASSERT_TRUE(FormatTimeVal(t, text));
    EXPECT_STREQ(text, v);
  }
  for (const char* bad : {"20230229000000", "21000229000000", "20240431000000", "20241301000000",
                          "20240101240000", "20240101006000", "20240101000060", "2024010100000",
                          "202401010000000", "2024010100000x", "16001231235959"})
    EXPECT_FALSE(ParseTimeVal(bad, &t)) << bad;
}

// ---- machine listings ----

SYSTEMTIME Utc() {
  SYSTEMTIME t{};
  t.wYear = 2024;
  t.wMonth = 3;
  t.wDay = 5;
  t.wHour = 9;
  t.wMinute = 7;
  t.wSecond = 2;
  return t;
}

std::string Facts(MlstKind kind, uint64_t size, bool ro, bool write, int off) {
  char out[256];
  EXPECT_TRUE(MlstFacts(kind, size, Utc(), ro, write, off, out, sizeof out));
  return out;
}

TEST(MlstFacts, PermissionsFollowTheUserAndTheFile) {
  EXPECT_EQ(Facts(MlstKind::kFile, 12, false, true, 0),
            "type=file;size=12;modify=20240305090702;perm=adfrw;");
  EXPECT_EQ(Facts(MlstKind::kFile, 12, true, true, 0),
            "type=file;size=12;modify=20240305090702;perm=dfr;");
  EXPECT_EQ(Facts(MlstKind::kFile, 12, false, false, 0),
            "type=file;size=12;modify=20240305090702;perm=r;");
  EXPECT_EQ(Facts(MlstKind::kDir, 0, false, true, 0),
            "type=dir;modify=20240305090702;perm=cdeflmp;");
  EXPECT_EQ(Facts(MlstKind::kCdir, 0, false, false, 0), "type=cdir;modify=20240305090702;perm=el;");
  EXPECT_EQ(Facts(MlstKind::kPdir, 0, false, false, kFactModify | kFactPerm), "type=pdir;");
  EXPECT_EQ(Facts(MlstKind::kFile, 5ull << 30, false, false, kFactType | kFactPerm),
            "size=5368709120;modify=20240305090702;");
  EXPECT_EQ(Facts(MlstKind::kFile, 1, false, false, kAllFacts), "");
  char small[12];
  EXPECT_FALSE(MlstFacts(MlstKind::kFile, 1, Utc(), false, false, 0, small, sizeof small));
  EXPECT_EQ(strlen(small), sizeof small - 1);
}

TEST(MlstFacts, DotEntriesAreTheDirectoryAndItsParent) {
  ListView v{};
  v.may_write = false;
  char out[300];
  ListEntry dot{".", FILE_ATTRIBUTE_DIRECTORY, 0, Utc()};
  ListEntry up{"..", FILE_ATTRIBUTE_DIRECTORY, 0, Utc()};
  ListEntry file{"a b.txt", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN, 3, Utc()};
  ASSERT_TRUE(MlsdLine(dot, v, out, sizeof out));
  EXPECT_STREQ(out, "type=cdir;modify=20240305090702;perm=el; .");
  ASSERT_TRUE(MlsdLine(up, v, out, sizeof out));
  EXPECT_STREQ(out, "type=pdir;modify=20240305090702;perm=el; ..");
  ASSERT_TRUE(MlsdLine(file, v, out, sizeof out));
  EXPECT_STREQ(out, "type=file;size=3;modify=20240305090702;perm=r; a b.txt");
  v.at_top = true;
  EXPECT_FALSE(MlsdLine(up, v, out, sizeof out));
  v.no_list_dir = true;
  EXPECT_FALSE(MlsdLine(dot, v, out, sizeof out));
}

TEST(MlstFacts, OptsChoosesAndFeatMarks) {
  char shown[64];
  EXPECT_EQ(MlstFactsFromOpts(" SIZE;modify;bogus;", shown, sizeof shown), kFactType | kFactPerm);
  EXPECT_STREQ(shown, "size;modify;");
  EXPECT_EQ(MlstFactsFromOpts("", shown, sizeof shown), kAllFacts);
  EXPECT_STREQ(shown, "");
  EXPECT_EQ(MlstFactsFromOpts("perm;type", shown, sizeof shown), kFactSize | kFactModify);
  MlstFeatFacts(kFactSize | kFactModify, shown, sizeof shown);
  EXPECT_STREQ(shown, "type*;size;modify;perm*;");
}

// ---- ABOR in the control stream ----

TEST(AbortLines, OnlyAWholeAborLineCounts) {
  auto holds = [](const std::string& s) { return HoldsAbort(s.data(), s.size()); };
  EXPECT_TRUE(holds("ABOR\r\n"));
  EXPECT_TRUE(holds("NOOP\r\n  abor\r\n"));
  EXPECT_TRUE(holds("ABOR x\n"));
  EXPECT_FALSE(holds("ABOR"));  // not complete yet
  EXPECT_FALSE(holds("ABORT\r\n"));
  EXPECT_FALSE(holds("XABOR\r\n"));
  EXPECT_FALSE(holds("STOR ABOR\r\n"));
}

TEST(AbortLines, TelnetCommandsVanishAlsoWhenCutBetweenReads) {
  auto strip = [](std::string s, int* state) {
    s.resize(StripTelnet(s.data(), s.size(), state));
    return s;
  };
  int state = 0;
  EXPECT_EQ(strip("\xff\xf4\xff\xf2"
                  "ABOR\r\n",
                  &state),
            "ABOR\r\n");
  EXPECT_EQ(strip("a\xff\xff"
                  "b",
                  &state),
            "a\xff"
            "b");
  EXPECT_EQ(strip("x\xff\xfb\x01y", &state), "xy");  // WILL and its option
  EXPECT_EQ(strip("\xff\xf4\xff", &state), "");
  EXPECT_EQ(strip("\xf2"
                  "ABOR\r\n",
                  &state),
            "ABOR\r\n");
  EXPECT_EQ(strip("z\xff\xfd", &state), "z");
  EXPECT_EQ(strip("\x03"
                  "ok",
                  &state),
            "ok");
  EXPECT_EQ(state, 0);
}

// ---- list-standard arguments ----

TEST(ListArgument, OptionWordsFirstThenThePath) {
  struct Case {
    const char* arg;
    const char* options;
    const char* path;
  } cases[] = {{"-la docs", "-la", "docs"},
               {"-l -a  my dir", "-l -a", "my dir"},
               {"docs", "", "docs"},
               {"-a", "-a", ""},
               {"", "", ""},
               {"  -R  x -y", "-R", "x -y"}};
  for (const Case& c : cases) {
    std::string arg = c.arg;
    char options[64];
    const char* path = nullptr;
    ASSERT_TRUE(SplitListArgument(arg.data(), options, sizeof options, &path)) << c.arg;
    EXPECT_STREQ(options, c.options) << c.arg;
    EXPECT_STREQ(path, c.path) << c.arg;
  }
  std::string long_options(100, 'a');
  long_options[0] = '-';
  char small[16];
  const char* path = nullptr;
  EXPECT_FALSE(SplitListArgument(long_options.data(), small, sizeof small, &path));
}

// ---- IPv6 disconnect files ----

TEST(BanAddress, Ipv6NamesAreThirtyTwoHexDigits) {
  unsigned char a[16];
  ASSERT_TRUE(torva::ParseBanAddress6("2001:db8::a:b", a));
  char path[torva::DisconnectPathSize(8)];
  ASSERT_TRUE(torva::DisconnectFilePath6(path, sizeof path, "/dc", a));
  EXPECT_EQ(std::string(path),
            std::string("/dc") + torva::kPathSep + "20010DB80000000000000000000A000B.dca");
  for (const char* bad : {"1.2.3.4", "::1::", "2001:db8::g", "", "::ffff:1.2.3"})
    EXPECT_FALSE(torva::ParseBanAddress6(bad, a)) << bad;
}

}  // namespace
