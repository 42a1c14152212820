"""The code page 932 table of libtvkanji against the C library's CP932
converter, an implementation of its own: every pair of the table must convert
the same way in both directions, and every character the converter reads from
the code page must have the code the converter writes for it. The library is
compiled from this table and derives its reverse direction from it (its unit
test checks that the two directions are inverses); the table is read from its
source here so that sanitizer builds, whose library cannot be loaded into
Python, run the same check.
"""
import os
import re
import shutil
import subprocess
import unittest

SOURCE = os.environ.get("TORVA_SOURCE") or os.path.join(os.path.dirname(__file__), "..", "..")
TABLE = os.path.join(SOURCE, "tvkanji", "tvkanji_cp932_tables.inc")
BASE = 0x8140
KANA = {b: 0xFF61 + b - 0xA1 for b in range(0xA1, 0xE0)}


def read_table():
    with open(TABLE) as f:
        text = f.read()
    body = text[text.index("{") + 1:text.index("};")]
    cells = [int(x, 16) for x in re.findall(r"0x([0-9A-F]{4})", re.sub(r"//.*", "", body))]
    pairs = {BASE + i: u for i, u in enumerate(cells) if u}
    pairs.update(KANA)
    return pairs


def iconv(data, source, target):
    r = subprocess.run(["iconv", "-f", source, "-t", target], input=data, capture_output=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout


@unittest.skipUnless(shutil.which("iconv"), "iconv is not installed")
class Cp932AgainstIconv(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pairs = read_table()
        cls.codes = {u: c for c, u in cls.pairs.items()}

    def test_every_pair_converts_as_the_c_library_does(self):
        self.assertEqual(len(self.pairs), 9206 + 63)
        codes = sorted(self.pairs)
        # One code per line; 0x0A is never part of a double-byte code.
        raw = b"\n".join(c.to_bytes(2 if c > 0xFF else 1, "big") for c in codes) + b"\n"
        decoded = iconv(raw, "CP932", "UTF-8").decode("utf-8").split("\n")[:-1]
        self.assertEqual(len(decoded), len(codes))
        chars = [chr(self.pairs[c]) for c in codes]
        self.assertEqual([d for d in decoded], chars)
        encoded = iconv("\n".join(chars).encode("utf-8") + b"\n", "UTF-8", "CP932")
        self.assertEqual(encoded, raw)

    def test_every_character_of_the_code_page_has_its_pair(self):
        # Each code the converter decodes gives a character whose code in the
        # library is the one the converter writes back.
        raw = bytearray()
        for lead in list(range(0x81, 0xA0)) + list(range(0xE0, 0xFD)):
            for trail in list(range(0x40, 0x7F)) + list(range(0x80, 0xFD)):
                raw += bytes((lead, trail)) + b"\n"
        r = subprocess.run(["iconv", "-c", "-f", "CP932", "-t", "UTF-8"], input=bytes(raw),
                           capture_output=True, timeout=60)
        # An undefined code is dropped; only its trail byte may come out, as ASCII.
        chars = {ch for ch in r.stdout.decode("utf-8").split("\n")
                 if len(ch) == 1 and ord(ch) >= 0x80}
        self.assertGreater(len(chars), 9000)
        written = iconv("\n".join(sorted(chars)).encode("utf-8") + b"\n", "UTF-8", "CP932")
        for ch, code in zip(sorted(chars), written.split(b"\n")):
            self.assertEqual(self.codes.get(ord(ch)), int.from_bytes(code, "big"), hex(ord(ch)))


if __name__ == "__main__":
    unittest.main()
