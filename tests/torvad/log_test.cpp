// The two shared error voices of the log: "Failed x() errno=N" with its
// optional context prefix, and broken invariants that also say where; and
// the quoting of client-chosen text for log lines that programs read back.
#include "torvad/Log.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Captured(void (*write)()) {
  testing::internal::CaptureStdout();
  write();
  return testing::internal::GetCapturedStdout();
}

TEST(LogTest, FailedLinesCarryTheirPrefixAndTheNumber) {
  EXPECT_EQ(Captured([] { LogFailed(2, "bind", 10048, "PASV: "); }),
            "[W] PASV: Failed bind() errno=10048\n");
  EXPECT_EQ(Captured([] { LogFailed(1, "malloc", 8); }), "[E] Failed malloc() errno=8\n");
  EXPECT_EQ(Captured([] { LogFailed(-1, "recv", 0); }), "Failed recv() errno=0\n");
}

TEST(LogTest, LogicErrorNamesFileAndLineInTheDebugLog) {
  int line = 0;
  static int* where = &line;
  std::string out = Captured([] {
    *where = __LINE__ + 1;
    LOGIC_ERROR();
  });
  EXPECT_EQ(out, "Logic Error!!\n[D] Logic error detected at log_test.cpp:" + std::to_string(line) +
                     "\n");
}

std::string Quote(const std::string& text, size_t size = 256) {
  std::string out(size, '#');
  LogQuote(out.data(), size, text.c_str());
  return out.substr(0, strlen(out.c_str()));
}

TEST(LogQuote, ControlBytesQuotesAndBackslashesCannotEndTheField) {
  EXPECT_EQ(Quote("alice"), "\"alice\"");
  EXPECT_EQ(Quote(""), "\"\"");
  EXPECT_EQ(Quote("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(Quote("x\ny\rz\t\x1b\x7f"), "\"x\\x0Ay\\x0Dz\\x09\\x1B\\x7F\"");
  // Shift_JIS bytes are written byte by byte, each unambiguously.
  EXPECT_EQ(Quote("\x83\x5C"), "\"\\x83\\\\\"");
  // A forged second field stays inside the quotes.
  EXPECT_EQ(Quote("x\" address=6.6.6.6 user=\"y"), "\"x\\\" address=6.6.6.6 user=\\\"y\"");
}

TEST(LogQuote, CutsWholeEscapesAndAlwaysCloses) {
  EXPECT_EQ(Quote("abcdef", 6), "\"abc\"");
  EXPECT_EQ(Quote("ab\x01", 8), "\"ab\"");  // \x01 needs 4 bytes, 3 left
  EXPECT_EQ(Quote("ab\x01", 9), "\"ab\\x01\"");
  EXPECT_EQ(Quote("abc", 2), "");
  const std::string worst(31, '\x01');
  EXPECT_EQ(Quote(worst, 31 * 4 + 3).size(), 31u * 4 + 2);
}

}  // namespace
