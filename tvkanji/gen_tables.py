#!/usr/bin/env python3
"""Writes the Shift_JIS to UCS-2 tables of libtvkanji.

tvkanji_tables.inc (JIS X 0208): the pairs come from Python's own shift_jis
codec, which covers JIS X 0208 and the half-width katakana of JIS X 0201 and
nothing of the code page 932 extensions. The codec maps 0x815F to U+FF3C
(FULLWIDTH REVERSE SOLIDUS); file names on disk use the JIS0208 choice,
U+005C, so that row is overridden.

tvkanji_cp932_tables.inc (Windows code page 932): the codes come from Python's
cp932 codec, which decodes NEC row 13, the NEC-selected IBM extensions, the
IBM extensions and the user-defined area besides JIS X 0208. Some characters
have two or three codes there; the table keeps one code per character, the
one Windows writes when it converts the character back: the JIS X 0208 code
before NEC row 13, NEC row 13 before the IBM extensions, and the IBM
extensions (0xFA40-0xFC4B) before their NEC-selected copies (0xED40-0xEEFC).
Python's encoder picks the NEC-selected copies instead, so the choice is made
here, not taken from the codec. The other codes of such characters stay
unmapped, which keeps the two directions exact inverses.

The tables are committed; the build never runs this script. Run it again only
when a mapping has to change:

    python3 tvkanji/gen_tables.py            # rewrite both tables
    python3 tvkanji/gen_tables.py --check    # exit 1 if a table is stale
"""

import argparse
import os
import sys

LEAD_BYTES = list(range(0x81, 0x85)) + list(range(0x88, 0xA0)) + list(range(0xE0, 0xEB))
TRAIL_BYTES = list(range(0x40, 0x7F)) + list(range(0x80, 0xFD))

FIRST_CODE = 0x8140      # ideographic space, handled apart from the table
TABLE_BASE = 0x8141      # the table starts one past it
LAST_CODE = 0xEAA4
TABLE_SIZE = LAST_CODE - TABLE_BASE + 1

KANA_FIRST, KANA_LAST, KANA_UCS2 = 0xA1, 0xDF, 0xFF61

EXPECTED_DOUBLE = 6879
EXPECTED_SINGLE = 63

# Rows where JIS0208 and code page 932 disagree; these must come out the
# JIS0208 way.
JIS0208_ROWS = {
    0x815F: 0x005C,  # REVERSE SOLIDUS (the codec gives U+FF3C)
    0x8160: 0x301C,  # WAVE DASH
    0x8161: 0x2016,  # DOUBLE VERTICAL LINE
    0x817C: 0x2212,  # MINUS SIGN
    0x8191: 0x00A2,  # CENT SIGN
    0x8192: 0x00A3,  # POUND SIGN
    0x81CA: 0x00AC,  # NOT SIGN
}
OVERRIDES = {0x815F: 0x005C}


def fail(message):
    sys.stderr.write("gen_tables.py: %s\n" % message)
    sys.exit(2)


def double_byte_pairs():
    """Returns {sjis: ucs2} for every JIS X 0208 code in Shift_JIS form."""
    pairs = {}
    for lead in LEAD_BYTES:
        for trail in TRAIL_BYTES:
            code = lead << 8 | trail
            if code > LAST_CODE:
                continue
            try:
                text = bytes((lead, trail)).decode("shift_jis")
            except UnicodeDecodeError:
                continue
            if len(text) != 1:
                continue
            pairs[code] = ord(text)
    pairs.update(OVERRIDES)
    return pairs


def single_byte_pairs():
    pairs = {}
    for byte in range(KANA_FIRST, KANA_LAST + 1):
        text = bytes((byte,)).decode("shift_jis")
        if len(text) != 1 or ord(text) != KANA_UCS2 + byte - KANA_FIRST:
            fail("byte 0x%02X decodes to %r, not the expected katakana" % (byte, text))
        pairs[byte] = ord(text)
    return pairs


def validate(double, single):
    if len(double) != EXPECTED_DOUBLE:
        fail("%d double-byte pairs, expected %d" % (len(double), EXPECTED_DOUBLE))
    if len(single) != EXPECTED_SINGLE:
        fail("%d single-byte pairs, expected %d" % (len(single), EXPECTED_SINGLE))
    if min(double) != FIRST_CODE or max(double) != LAST_CODE:
        fail("double-byte range 0x%04X..0x%04X" % (min(double), max(double)))
    if double[FIRST_CODE] != 0x3000:
        fail("0x8140 maps to U+%04X, not U+3000" % double[FIRST_CODE])
    for code, want in JIS0208_ROWS.items():
        if double.get(code) != want:
            fail("0x%04X maps to %s, expected U+%04X"
                 % (code, "nothing" if code not in double else "U+%04X" % double[code], want))
    targets = list(double.values()) + list(single.values())
    if len(set(targets)) != len(targets):
        fail("two Shift_JIS codes map to the same UCS-2 code unit")
    if any(u == 0 or u > 0xFFFF or 0xD800 <= u <= 0xDFFF for u in targets):
        fail("a code maps outside the UCS-2 range")


# ---- code page 932 ----

CP932_LEAD_BYTES = list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD))
CP932_BASE = 0x8140
CP932_LAST = 0xFC4B
CP932_TABLE_SIZE = CP932_LAST - CP932_BASE + 1
NEC_SELECTED_IBM = (0xED40, 0xEEFC)

EXPECTED_CP932_DOUBLE = 9206
EXPECTED_CP932_UNMAPPED_DUPLICATES = 398

# Rows where code page 932 parts from JIS0208 (the JIS table keeps the right
# column's JIS0208 values), and some of the extension characters.
CP932_ROWS = {
    0x815F: 0xFF3C,  # FULLWIDTH REVERSE SOLIDUS
    0x8160: 0xFF5E,  # FULLWIDTH TILDE
    0x8161: 0x2225,  # PARALLEL TO
    0x817C: 0xFF0D,  # FULLWIDTH HYPHEN-MINUS
    0x8191: 0xFFE0,  # FULLWIDTH CENT SIGN
    0x8192: 0xFFE1,  # FULLWIDTH POUND SIGN
    0x81CA: 0xFFE2,  # FULLWIDTH NOT SIGN
    0x8740: 0x2460,  # CIRCLED DIGIT ONE (NEC row 13)
    0x878A: 0x3231,  # PARENTHESIZED IDEOGRAPH STOCK (NEC row 13)
    0x8754: 0x2160,  # ROMAN NUMERAL ONE: NEC row 13, not 0xFA4A
    0x81E6: 0x2235,  # BECAUSE: JIS X 0208, not 0x879A or 0xFA5B
    0xFA40: 0x2170,  # SMALL ROMAN NUMERAL ONE: IBM, not 0xEEEF
    0xFA5C: 0x7E8A,  # first IBM kanji, not 0xED40
    0xFBFC: 0x9AD9,  # TALL HIGH (the "hashigo-daka" of family names), not 0xEEE0
    0xF040: 0xE000,  # first user-defined code
    0xF9FC: 0xE757,  # last user-defined code
}
CP932_UNMAPPED = (0x8790, 0x879A, 0xED40, 0xEEE0, 0xEEEF, 0xEEF9, 0xFA4A, 0xFA54, 0xFA5B)


def cp932_all_codes():
    """Returns {sjis: ucs2} for every double-byte code the cp932 codec decodes."""
    codes = {}
    for lead in CP932_LEAD_BYTES:
        for trail in TRAIL_BYTES:
            try:
                text = bytes((lead, trail)).decode("cp932")
            except UnicodeDecodeError:
                continue
            if len(text) == 1:
                codes[lead << 8 | trail] = ord(text)
    return codes


def windows_choice(codes):
    """The code Windows writes for a character that has all of `codes`."""
    low, high = NEC_SELECTED_IBM
    preferred = [c for c in codes if not low <= c <= high]
    return min(preferred or codes)


def cp932_double_byte_pairs():
    by_char = {}
    for code, ucs2 in sorted(cp932_all_codes().items()):
        by_char.setdefault(ucs2, []).append(code)
    pairs = {}
    for ucs2, codes in by_char.items():
        chosen = windows_choice(codes)
        pairs[chosen] = ucs2
        # Python's encoder may differ only by preferring an NEC-selected copy.
        python = int.from_bytes(chr(ucs2).encode("cp932"), "big")
        low, high = NEC_SELECTED_IBM
        if python != chosen and not (low <= python <= high and chosen >= 0xFA40):
            fail("U+%04X: codec writes 0x%04X, chosen 0x%04X" % (ucs2, python, chosen))
    return pairs


def validate_cp932(double, jis_double):
    if len(double) != EXPECTED_CP932_DOUBLE:
        fail("%d code page 932 pairs, expected %d" % (len(double), EXPECTED_CP932_DOUBLE))
    unmapped = len(cp932_all_codes()) - len(double)
    if unmapped != EXPECTED_CP932_UNMAPPED_DUPLICATES:
        fail("%d duplicate codes left unmapped, expected %d"
             % (unmapped, EXPECTED_CP932_UNMAPPED_DUPLICATES))
    if min(double) != CP932_BASE or max(double) != CP932_LAST:
        fail("code page 932 range 0x%04X..0x%04X" % (min(double), max(double)))
    for code, want in CP932_ROWS.items():
        if double.get(code) != want:
            fail("cp932 0x%04X maps to %s, expected U+%04X" % (code, double.get(code), want))
    for code in CP932_UNMAPPED:
        if code in double:
            fail("cp932 0x%04X is a second code of U+%04X" % (code, double[code]))
    # Every JIS X 0208 code keeps its place; only the rows above change.
    for code, ucs2 in jis_double.items():
        want = CP932_ROWS.get(code, ucs2)
        if double.get(code) != want:
            fail("cp932 0x%04X differs from JIS X 0208 outside the known rows" % code)
    targets = list(double.values())
    if len(set(targets)) != len(targets) or any(u < 0x80 or u > 0xFFFF for u in targets):
        fail("code page 932 pairs are not one code per character")


def render_cp932(double, single):
    table = [0] * CP932_TABLE_SIZE
    for code, ucs2 in double.items():
        table[code - CP932_BASE] = ucs2
    out = []
    out.append("// Generated by tvkanji/gen_tables.py from Python's cp932 codec, one code")
    out.append("// per character as Windows writes it. Do not edit; rerun the script instead.")
    out.append("//")
    out.append("// kCp932ToUcs2[code - 0x%04X] for code 0x%04X..0x%04X; 0 marks an unmapped cell."
               % (CP932_BASE, CP932_BASE, CP932_LAST))
    out.append("// %d double-byte pairs and %d half-width katakana (0x%02X..0x%02X, kept apart)."
               % (len(double), len(single), KANA_FIRST, KANA_LAST))
    out.append("")
    out.extend(table_lines("kCp932ToUcs2", table, CP932_BASE, CP932_LAST))
    return "\n".join(out)


def render(double):
    table = [0] * TABLE_SIZE
    for code, ucs2 in double.items():
        if code != FIRST_CODE:
            table[code - TABLE_BASE] = ucs2

    out = []
    out.append("// Generated by tvkanji/gen_tables.py from Python's shift_jis codec, with")
    out.append("// 0x815F mapped to U+005C. Do not edit; rerun the script instead.")
    out.append("//")
    out.append("// kSjisToUcs2[code - 0x%04X] for code 0x%04X..0x%04X; 0 marks an unmapped cell."
               % (TABLE_BASE, TABLE_BASE, LAST_CODE))
    out.append("// %d double-byte pairs (0x%04X -> U+3000 is not in the table)."
               % (len(double), FIRST_CODE))
    out.append("")
    out.extend(table_lines("kSjisToUcs2", table, TABLE_BASE, LAST_CODE))
    return "\n".join(out)


def table_lines(name, table, first, last):
    """The C array `name` holding table[code - first] for code first..last."""
    out = ["static constexpr uint16_t %s[%d] = {" % (name, last - first + 1)]
    # One line per 16 codes, aligned on code values so that each line's
    # comment names the code of its first column.
    code = first
    while code <= last:
        line_start = code & ~0xF
        line_end = min(line_start + 15, last)
        pad = " " * (8 * (code - line_start))
        cells = ["0x%04X" % table[c - first] for c in range(code, line_end + 1)]
        out.append("  %s%s,  // %04X" % (pad, ", ".join(cells), line_start))
        code = line_end + 1
    out.append("};")
    out.append("")
    return out


def check_or_write(path, text, check):
    """Compares with or writes one table; returns 1 when a check finds it stale."""
    if check:
        try:
            with open(path, encoding="ascii") as f:
                current = f.read()
        except OSError as e:
            fail(str(e))
        if current != text:
            sys.stderr.write("%s is out of date\n" % path)
            return 1
        print("%s is up to date" % path)
        return 0
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(text)
    print("wrote %s" % path)
    return 0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-o", "--output", default=os.path.join(here, "tvkanji_tables.inc"))
    parser.add_argument("--cp932-output", default=os.path.join(here, "tvkanji_cp932_tables.inc"))
    parser.add_argument("--check", action="store_true",
                        help="compare with the existing files instead of writing them")
    args = parser.parse_args()

    double = double_byte_pairs()
    single = single_byte_pairs()
    validate(double, single)
    cp932 = cp932_double_byte_pairs()
    validate_cp932(cp932, double)

    stale = check_or_write(args.output, render(double), args.check)
    stale |= check_or_write(args.cp932_output, render_cp932(cp932, single), args.check)
    if not args.check:
        print("JIS X 0208: %d double-byte + %d single-byte pairs; code page 932: %d + %d"
              % (len(double), len(single), len(cp932), len(single)))
    return stale


if __name__ == "__main__":
    sys.exit(main())
