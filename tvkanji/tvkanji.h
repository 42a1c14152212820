// Shift_JIS <-> UCS-2, one character at a time.
//
// A Shift_JIS code is passed and returned as a number: a single byte as its
// value, a double-byte code as lead * 256 + trail (0x8140). A UCS-2 code is a
// code unit 0x0000..0xFFFF. The mapping is JIS X 0208 as in JIS0208.TXT plus
// the 63 half-width katakana 0xA1..0xDF; the two functions are exact inverses
// on its 6942 pairs. Nothing else maps: a result of 0 means "no mapping", and
// every argument above 0xFFFF gives 0.
//
// Both functions are pure table lookups: no state, no allocation, safe to call
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

#ifdef __cplusplus
}
#endif
