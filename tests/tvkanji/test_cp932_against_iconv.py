"""The code page 932 exports of libtvkanji against the C library's CP932
converter, an implementation of its own: every pair the library maps must
convert the same way in both directions, and every character the converter
writes from the code page must be one the library maps.
"""
import ctypes
import os
import shutil
import subprocess
import unittest

LIB = os.path.join(os.environ.get("TORVA_LIB") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "lib"), "libtvkanji.so")


def iconv(data, source, target):
    r = subprocess.run(["iconv", "-f", source, "-t", target], input=data, capture_output=True,
                       timeout=60)
    assert r.returncode == 0, r.stderr
    return r.stdout


@unittest.skipUnless(shutil.which("iconv"), "iconv is not installed")
class Cp932AgainstIconv(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        lib = ctypes.CDLL(LIB)
        for name in ("tvkanji_CP932_to_UCS2", "tvkanji_UCS2_to_CP932"):
            getattr(lib, name).restype = ctypes.c_uint32
            getattr(lib, name).argtypes = [ctypes.c_uint32]
        cls.to_ucs2 = lib.tvkanji_CP932_to_UCS2
        cls.to_sjis = lib.tvkanji_UCS2_to_CP932
        cls.pairs = {}
        for code in range(0x10000):
            u = cls.to_ucs2(code)
            if u:
                cls.pairs[code] = u

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
            self.assertEqual(self.to_sjis(ord(ch)), int.from_bytes(code, "big"), hex(ord(ch)))


if __name__ == "__main__":
    unittest.main()
