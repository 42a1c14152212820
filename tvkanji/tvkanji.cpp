#include "tvkanji/tvkanji.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace {

#include "tvkanji/tvkanji_cp932_tables.inc"
#include "tvkanji/tvkanji_tables.inc"

constexpr uint32_t kIdeographicSpaceSjis = 0x8140;
constexpr uint32_t kIdeographicSpaceUcs2 = 0x3000;
constexpr uint32_t kTableBase = 0x8141;
constexpr uint32_t kTableLast = 0xEAA4;
constexpr uint32_t kKanaFirst = 0xA1;
constexpr uint32_t kKanaLast = 0xDF;
constexpr uint32_t kKanaUcs2 = 0xFF61;

static_assert(sizeof(kSjisToUcs2) / sizeof(kSjisToUcs2[0]) == kTableLast - kTableBase + 1);

// The reverse table is derived from the forward one while compiling, so the
// two directions cannot drift apart. The build stops if two codes claim the
// same code unit, since the directions would then no longer be inverses.
struct ReverseTable {
  std::array<uint16_t, 0x10000> sjis{};
  size_t pairs = 0;
  size_t collisions = 0;
};

constexpr void AddPair(ReverseTable& t, uint32_t sjis, uint32_t ucs2) {
  if (t.sjis[ucs2] != 0) ++t.collisions;
  t.sjis[ucs2] = static_cast<uint16_t>(sjis);
  ++t.pairs;
}

// The reverse of a forward table of `count` entries for the codes from
// `base`, the half-width katakana and, where the table leaves it out, the
// ideographic space.
constexpr ReverseTable BuildReverse(const uint16_t* table, uint32_t base, uint32_t count,
                                    bool add_space) {
  ReverseTable t;
  if (add_space) AddPair(t, kIdeographicSpaceSjis, kIdeographicSpaceUcs2);
  for (uint32_t i = 0; i < count; ++i) {
    if (table[i] != 0) AddPair(t, base + i, table[i]);
  }
  for (uint32_t b = kKanaFirst; b <= kKanaLast; ++b) AddPair(t, b, kKanaUcs2 + b - kKanaFirst);
  return t;
}

constexpr ReverseTable kReverse =
    BuildReverse(kSjisToUcs2, kTableBase, kTableLast - kTableBase + 1, true);
static_assert(kReverse.collisions == 0, "two Shift_JIS codes map to one UCS-2 code unit");
static_assert(kReverse.pairs == 6879 + 63, "the table does not hold the JIS X 0208 set");

// Code page 932: one dense table from 0x8140 (the ideographic space
// included) to the last IBM extension, 0xFC4B.
constexpr uint32_t kCp932Base = 0x8140;
constexpr uint32_t kCp932Last = 0xFC4B;
static_assert(sizeof(kCp932ToUcs2) / sizeof(kCp932ToUcs2[0]) == kCp932Last - kCp932Base + 1);

constexpr ReverseTable kCp932Reverse =
    BuildReverse(kCp932ToUcs2, kCp932Base, kCp932Last - kCp932Base + 1, false);
static_assert(kCp932Reverse.collisions == 0, "code page 932 keeps one code per character");
static_assert(kCp932Reverse.pairs == 9206 + 63, "the table does not hold code page 932");

}  // namespace

extern "C" uint32_t tvkanji_SJIS_to_UCS2(uint32_t code) {
  if (code == kIdeographicSpaceSjis) return kIdeographicSpaceUcs2;
  if (code > kIdeographicSpaceSjis) {
    return code <= kTableLast ? kSjisToUcs2[code - kTableBase] : 0;
  }
  if (code >= kKanaFirst && code <= kKanaLast) return kKanaUcs2 + (code - kKanaFirst);
  return 0;
}

extern "C" uint32_t tvkanji_UCS2_to_SJIS(uint32_t code) {
  return code < kReverse.sjis.size() ? kReverse.sjis[code] : 0;
}

extern "C" uint32_t tvkanji_CP932_to_UCS2(uint32_t code) {
  if (code >= kCp932Base) return code <= kCp932Last ? kCp932ToUcs2[code - kCp932Base] : 0;
  if (code >= kKanaFirst && code <= kKanaLast) return kKanaUcs2 + (code - kKanaFirst);
  return 0;
}

extern "C" uint32_t tvkanji_UCS2_to_CP932(uint32_t code) {
  return code < kCp932Reverse.sjis.size() ? kCp932Reverse.sjis[code] : 0;
}
