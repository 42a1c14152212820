// The bounded-copy helpers at the edge of their buffers: N-1 bytes fit, N and
// N+1 are cut to N-1 and terminated; nothing is written or read past a buffer.
#include "common/strutil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

// An 8-byte buffer with guard bytes on both sides.
struct Guarded {
  char before[4];
  char buf[8];
  char after[4];
  Guarded() { memset(this, '#', sizeof *this); }
  bool GuardsIntact() const {
    return std::string(before, 4) == "####" && std::string(after, 4) == "####";
  }
};

TEST(CopyTruncated, FitsAtNMinusOneAndCutsAtNAndNPlusOne) {
  const struct {
    const char* src;
    const char* want;
    size_t copied;
  } cases[] = {
      {"1234567", "1234567", 7},    // N-1: all of it
      {"12345678", "1234567", 7},   // N: cut by one
      {"123456789", "1234567", 7},  // N+1
      {"", "", 0},
  };
  for (const auto& c : cases) {
    Guarded g;
    EXPECT_EQ(torva::CopyTruncated(g.buf, c.src), c.copied) << c.src;
    EXPECT_STREQ(g.buf, c.want) << c.src;
    EXPECT_TRUE(g.GuardsIntact()) << c.src;
  }
  Guarded g;
  EXPECT_EQ(torva::CopyTruncated(g.buf, 0, "abc"), 0u);  // no room: nothing written
  EXPECT_EQ(g.buf[0], '#');
}

TEST(CopyTruncated, NeverReadsPastWhatItKeeps) {
  // A source of N-1 bytes without a terminator (the sanitizer build catches
  // any read beyond it): only the bytes that fit are looked at.
  std::unique_ptr<char[]> src(new char[7]);
  memcpy(src.get(), "abcdefg", 7);
  char dst[8];
  EXPECT_EQ(torva::CopyTruncated(dst, src.get()), 7u);
  EXPECT_STREQ(dst, "abcdefg");
}

TEST(FormatInto, ReportsWhetherTheWholeTextFit) {
  const struct {
    const char* text;
    bool fits;
    const char* want;
  } cases[] = {
      {"1234567", true, "1234567"},
      {"12345678", false, "1234567"},
      {"123456789", false, "1234567"},
  };
  for (const auto& c : cases) {
    Guarded g;
    EXPECT_EQ(torva::FormatInto(g.buf, "%s", c.text), c.fits) << c.text;
    EXPECT_STREQ(g.buf, c.want) << c.text;
    EXPECT_TRUE(g.GuardsIntact()) << c.text;
  }
  Guarded g;
  EXPECT_FALSE(torva::Format(g.buf, 0, "%d", 1));
  EXPECT_EQ(g.buf[0], '#');
  EXPECT_TRUE(torva::Format(g.buf, sizeof g.buf, "%c%03d", 'x', 7));
  EXPECT_STREQ(g.buf, "x007");
}

}  // namespace
