// Quoting client-chosen text for log lines that programs read back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "torvad/Log.h"

namespace {

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
