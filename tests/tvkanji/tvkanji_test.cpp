#include "tvkanji/tvkanji.h"

#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Pairs = std::vector<std::pair<uint32_t, uint32_t>>;

bool IsLead(uint32_t b) {
  return (b >= 0x81 && b <= 0x84) || (b >= 0x88 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEA);
}
bool IsTrail(uint32_t b) { return b >= 0x40 && b <= 0xFC && b != 0x7F; }

TEST(TvkanjiMapping, HoldsExactly6942PairsInEachDirection) {
  int single = 0, dbcs = 0, reverse = 0;
  for (uint32_t v = 0; v <= 0xFFFF; ++v) {
    if (tvkanji_SJIS_to_UCS2(v) != 0) {
      if (v < 0x100) {
        ++single;
      } else {
        ++dbcs;
        EXPECT_TRUE(IsLead(v >> 8) && IsTrail(v & 0xFF)) << std::hex << v;
      }
    }
    if (tvkanji_UCS2_to_SJIS(v) != 0) ++reverse;
  }
  EXPECT_EQ(single, 63);
  EXPECT_EQ(dbcs, 6879);
  EXPECT_EQ(reverse, 6942);
}

TEST(TvkanjiMapping, DirectionsAreInverses) {
  for (uint32_t v = 0; v <= 0xFFFF; ++v) {
    if (uint32_t u = tvkanji_SJIS_to_UCS2(v)) {
      EXPECT_EQ(tvkanji_UCS2_to_SJIS(u), v) << std::hex << v;
    }
    if (uint32_t s = tvkanji_UCS2_to_SJIS(v)) {
      EXPECT_EQ(tvkanji_SJIS_to_UCS2(s), v) << std::hex << v;
    }
  }
}

TEST(TvkanjiMapping, SingleBytesAreOnlyHalfWidthKatakana) {
  for (uint32_t b = 0; b <= 0xFF; ++b) {
    uint32_t want = (b >= 0xA1 && b <= 0xDF) ? 0xFF61 + (b - 0xA1) : 0;
    EXPECT_EQ(tvkanji_SJIS_to_UCS2(b), want) << std::hex << b;
  }
  // U+005C is the one ASCII code unit with an image: the JIS X 0208 backslash
  // 0x815F (checked with the other double-byte values below).
  for (uint32_t u = 0; u < 0x80; ++u) {
    if (u != 0x5C) {
      EXPECT_EQ(tvkanji_UCS2_to_SJIS(u), 0u) << std::hex << u;
    }
  }
  EXPECT_EQ(tvkanji_UCS2_to_SJIS(0xFF61), 0xA1u);
  EXPECT_EQ(tvkanji_UCS2_to_SJIS(0xFF9F), 0xDFu);
}

TEST(TvkanjiMapping, DoubleByteKnownValuesAndCodePage932Differences) {
  // Ends of the set, common kana and kanji, and the rows where JIS0208 and
  // code page 932 part ways.
  const Pairs pairs = {
      {0x8140, 0x3000}, {0x8141, 0x3001}, {0x889F, 0x4E9C}, {0x88EA, 0x4E00},
      {0xEAA4, 0x7199}, {0x82A0, 0x3042}, {0x8341, 0x30A2}, {0x8ABF, 0x6F22},
      {0x8E9A, 0x5B57}, {0x815F, 0x005C}, {0x8160, 0x301C}, {0x8161, 0x2016},
      {0x817C, 0x2212}, {0x8191, 0x00A2}, {0x8192, 0x00A3}, {0x81CA, 0x00AC},
  };
  for (auto [sjis, ucs2] : pairs) {
    EXPECT_EQ(tvkanji_SJIS_to_UCS2(sjis), ucs2) << std::hex << sjis;
    EXPECT_EQ(tvkanji_UCS2_to_SJIS(ucs2), sjis) << std::hex << ucs2;
  }
  // What code page 932 gives for those rows, and the JIS X 0201 yen and overline.
  for (uint32_t u :
       {0xFF3Cu, 0xFF5Eu, 0x2225u, 0xFF0Du, 0xFFE0u, 0xFFE1u, 0xFFE2u, 0x00A5u, 0x203Eu}) {
    EXPECT_EQ(tvkanji_UCS2_to_SJIS(u), 0u) << std::hex << u;
  }
}

TEST(TvkanjiMapping, UnmappedShiftJisCodes) {
  // Holes in JIS X 0208 rows, invalid trail bytes, the first code past the set,
  // and the ends of the code page 932 extension areas.
  for (uint32_t v : {0x81ADu, 0x889Eu, 0x817Fu, 0x8130u, 0x81FDu, 0xEAA5u, 0x8740u, 0x879Cu,
                     0xED40u, 0xEEFCu, 0xFA40u, 0xFC4Bu, 0xF040u, 0xF9FCu}) {
    EXPECT_EQ(tvkanji_SJIS_to_UCS2(v), 0u) << std::hex << v;
  }
  // Whole areas without JIS X 0208 characters: lead bytes 0x85-0x87 (NEC row
  // 13 among them), 0xA0-0xDF, and everything past 0xEAA4 (the NEC-selected
  // IBM rows, the user-defined area and the IBM rows).
  const Pairs empty_ranges = {{0x8540, 0x87FC}, {0xA000, 0xDFFF}, {0xEAA5, 0xFFFF}};
  for (auto [first, last] : empty_ranges) {
    for (uint32_t v = first; v <= last; ++v) {
      ASSERT_EQ(tvkanji_SJIS_to_UCS2(v), 0u) << std::hex << v;
    }
  }
}

TEST(TvkanjiMapping, ValuesAbove16BitsNeverMap) {
  // 0x18140 and 0x1815F would alias mapped codes if the argument were truncated.
  for (uint32_t v : {0x10000u, 0x13000u, 0x18140u, 0x1815Fu, 0x100A1u, 0x80000000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(tvkanji_SJIS_to_UCS2(v), 0u) << std::hex << v;
    EXPECT_EQ(tvkanji_UCS2_to_SJIS(v), 0u) << std::hex << v;
  }
}

// ---- code page 932 ----

TEST(TvkanjiCp932, EveryPairRoundTripsAndNothingElseMaps) {
  int single = 0, dbcs = 0, reverse = 0;
  for (uint32_t v = 0; v <= 0xFFFF; ++v) {
    if (uint32_t u = tvkanji_CP932_to_UCS2(v)) {
      if (v < 0x100)
        ++single;
      else
        ++dbcs;
      EXPECT_EQ(tvkanji_UCS2_to_CP932(u), v) << std::hex << v;
    }
    if (uint32_t s = tvkanji_UCS2_to_CP932(v)) {
      ++reverse;
      EXPECT_EQ(tvkanji_CP932_to_UCS2(s), v) << std::hex << v;
    }
  }
  EXPECT_EQ(single, 63);
  EXPECT_EQ(dbcs, 9206);
  EXPECT_EQ(reverse, 9206 + 63);
  for (uint32_t u = 0; u < 0x80; ++u) EXPECT_EQ(tvkanji_UCS2_to_CP932(u), 0u) << std::hex << u;
}

TEST(TvkanjiCp932, AgreesWithJisX0208OutsideItsSevenRows) {
  const Pairs rows = {{0x815F, 0xFF3C}, {0x8160, 0xFF5E}, {0x8161, 0x2225}, {0x817C, 0xFF0D},
                      {0x8191, 0xFFE0}, {0x8192, 0xFFE1}, {0x81CA, 0xFFE2}};
  for (auto [sjis, ucs2] : rows) {
    EXPECT_EQ(tvkanji_CP932_to_UCS2(sjis), ucs2) << std::hex << sjis;
    EXPECT_EQ(tvkanji_UCS2_to_CP932(ucs2), sjis) << std::hex << ucs2;
    EXPECT_EQ(tvkanji_UCS2_to_CP932(tvkanji_SJIS_to_UCS2(sjis)), 0u) << std::hex << sjis;
  }
  int same = 0;
  for (uint32_t v = 0; v <= 0xFFFF; ++v) {
    uint32_t jis = tvkanji_SJIS_to_UCS2(v);
    if (jis == 0) continue;
    bool special = false;
    for (auto [sjis, ucs2] : rows) special = special || sjis == v;
    if (!special) {
      EXPECT_EQ(tvkanji_CP932_to_UCS2(v), jis) << std::hex << v;
      ++same;
    }
  }
  EXPECT_EQ(same, 6942 - 7);
}

TEST(TvkanjiCp932, ExtensionsAndTheCodeWindowsWrites) {
  // NEC row 13, the IBM extensions and the user-defined area map; of a
  // character with several codes only the one Windows writes maps back.
  const Pairs pairs = {
      {0x8740, 0x2460},  // CIRCLED DIGIT ONE
      {0x878A, 0x3231},  // PARENTHESIZED IDEOGRAPH STOCK
      {0x8754, 0x2160},  // ROMAN NUMERAL ONE (NEC row 13 before IBM 0xFA4A)
      {0x81E0, 0x2252},  // APPROXIMATELY EQUAL (JIS X 0208 before NEC 0x8790)
      {0xFA40, 0x2170},  // SMALL ROMAN NUMERAL ONE (IBM before NEC-selected 0xEEEF)
      {0xFA5C, 0x7E8A},  // first IBM kanji (before 0xED40)
      {0xFBFC, 0x9AD9},  // TALL HIGH (before 0xEEE0)
      {0xFC4B, 0x9ED1},  // last IBM code
      {0xF040, 0xE000},  // user-defined area, first and last
      {0xF9FC, 0xE757}, {0xA1, 0xFF61}, {0xDF, 0xFF9F},
  };
  for (auto [sjis, ucs2] : pairs) {
    EXPECT_EQ(tvkanji_CP932_to_UCS2(sjis), ucs2) << std::hex << sjis;
    EXPECT_EQ(tvkanji_UCS2_to_CP932(ucs2), sjis) << std::hex << ucs2;
  }
  for (uint32_t v : {0x8790u, 0x879Au, 0xED40u, 0xEEE0u, 0xEEEFu, 0xEEF9u, 0xFA4Au, 0xFA54u,
                     0xFA5Bu, 0xFC4Cu, 0x80u, 0xA0u, 0xFDu, 0x5Cu, 0x10000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(tvkanji_CP932_to_UCS2(v), 0u) << std::hex << v;
  }
  // The NEC-selected rows hold no code of their own.
  for (uint32_t v = 0xED40; v <= 0xEEFC; ++v)
    ASSERT_EQ(tvkanji_CP932_to_UCS2(v), 0u) << std::hex << v;
  EXPECT_EQ(tvkanji_UCS2_to_CP932(0x10000u), 0u);
  // The JIS X 0208 exports still refuse every extension.
  EXPECT_EQ(tvkanji_SJIS_to_UCS2(0x8740), 0u);
  EXPECT_EQ(tvkanji_UCS2_to_SJIS(0x2460), 0u);
}

}  // namespace
