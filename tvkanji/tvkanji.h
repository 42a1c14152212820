// Shift_JIS <-> UCS-2, one character at a time.
//
// A Shift_JIS code is passed and returned as a number: a single byte as its
// value, a double-byte code as lead * 256 + trail (0x8140). A UCS-2 code is a
// code unit 0x0000..0xFFFF. The mapping is JIS X 0208 as in JIS0208.TXT plus
// the 63 half-width katakana 0xA1..0xDF; the two functions are exact inverses
// on its 6942 pairs. Nothing else maps: a result of 0 means "no mapping", and
// every argument above 0xFFFF gives 0.
//
// A second pair of functions converts with Windows code page 932 instead: JIS
// X 0208 with the code page's own choice in seven rows (0x815F U+FF3C, 0x8160
// U+FF5E, 0x8161 U+2225, 0x817C U+FF0D, 0x8191 U+FFE0, 0x8192 U+FFE1, 0x81CA
// U+FFE2), NEC row 13, the IBM extensions and the user-defined area (U+E000
// to U+E757). Characters with several codes in the code page keep only the
// code that Windows writes for them (the NEC-selected copies 0xED40..0xEEFC
// and some duplicates of row 13 and 0xFA/0xFB give 0), so these two
// functions are exact inverses on their 9269 pairs as well.
//
// All four functions are pure table lookups: no state, no allocation, safe to call
// from any thread.
#pragma once

#include <stdint.h>

#define TVKANJI_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

// The UCS-2 code unit for a Shift_JIS code, or 0. ASCII bytes (0x5C and 0x7E
// included) and the code page 932 extensions (NEC row 13, the IBM rows, the
// user-defined area) give 0.
TVKANJI_EXPORT uint32_t tvkanji_SJIS_to_UCS2(uint32_t code);

// The Shift_JIS code for a UCS-2 code unit, or 0: below 0x100 for a half-width
// katakana, lead * 256 + trail otherwise. U+005C gives 0x815F, so callers keep
// ASCII away from this function.
TVKANJI_EXPORT uint32_t tvkanji_UCS2_to_SJIS(uint32_t code);

// The same two directions with the code page 932 table: 9206 double-byte codes
// from 0x8140 to 0xFC4B and the 63 half-width katakana; ASCII gives 0.
TVKANJI_EXPORT uint32_t tvkanji_CP932_to_UCS2(uint32_t code);
TVKANJI_EXPORT uint32_t tvkanji_UCS2_to_CP932(uint32_t code);

#ifdef __cplusplus
}
#endif
