"""Real clients against the real server, plain and protected.

curl (explicit with --ssl-reqd, implicit with ftps://), lftp (ftp:ssl-force and
ftp:ssl-protect-data) and Python's ftplib (FTP_TLS with prot_p): each lists,
downloads and uploads a binary file over PASV and over PORT. curl 7.88 does not
start TLS on active data connections, so its protected transfers use PASV
only. A UTF-8 client names files in Japanese, which land on disk in Shift_JIS.
"""
import ftplib
import io
import os
import shutil
import subprocess
import tempfile
import unittest

import test_tls as T
import torva_harness as h

USER = T.USER
CURL = shutil.which("curl")
LFTP = shutil.which("lftp")
TIMEOUT = 120


class ClientCase(T.ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "session-timeout": "30"}

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="torva-client-")
        self.addCleanup(shutil.rmtree, self.work, True)
        self.upload = os.path.join(self.work, "upload.bin")
        with open(self.upload, "wb") as f:
            f.write(os.urandom(2 * 1024 * 1024 + 777))
        with open(self.upload, "rb") as f:
            self.upload_bytes = f.read()

    def run_client(self, argv):
        r = subprocess.run(argv, capture_output=True, timeout=TIMEOUT, cwd=self.work,
                           stdin=subprocess.DEVNULL)
        self.assertEqual(r.returncode, 0, (argv, r.stdout[-2000:], r.stderr[-4000:],
                                           self.inst.log()[-3000:]))
        return r

    def assert_uploaded(self, name):
        with open(os.path.join(self.inst.root, name), "rb") as f:
            self.assertEqual(f.read(), self.upload_bytes, name)

    def assert_downloaded(self, path):
        with open(path, "rb") as f:
            self.assertEqual(f.read(), self.payload, path)

    def url(self, scheme="ftp", port=None, path=""):
        return "%s://127.0.0.1:%d/%s" % (scheme, port or self.inst.port, path)


@unittest.skipUnless(CURL, "curl is not installed")
class CurlTest(ClientCase):
    def curl(self, *args):
        return self.run_client([CURL, "-sS", "--fail", "--max-time", "100", "-u", "%s:%s" % USER,
                                "-k", *args])

    def round_trip(self, tag, url_scheme="ftp", port=None, extra=()):
        listing = self.curl(*extra, self.url(url_scheme, port)).stdout
        self.assertIn(b"blob.bin", listing)
        out = os.path.join(self.work, "got-%s.bin" % tag)
        self.curl(*extra, "-o", out, self.url(url_scheme, port, "blob.bin"))
        self.assert_downloaded(out)
        name = "curl-%s.bin" % tag
        self.curl(*extra, "-T", self.upload, self.url(url_scheme, port, name))
        self.assert_uploaded(name)

    def test_plain_passive_and_active(self):
        self.round_trip("plain-pasv", extra=("--disable-epsv",))
        self.round_trip("plain-port", extra=("--disable-eprt", "-P", "127.0.0.1"))

    def test_explicit_tls_passive(self):
        self.round_trip("auth-pasv", extra=("--ssl-reqd", "--disable-epsv"))
        log = self.inst.log()
        self.assertIn("Command: AUTH", log)
        self.assertIn("Command: PROT", log)

    def test_control_only_protection(self):
        # --ftp-ssl-control: AUTH, but the data stays clear (PROT C or none).
        self.round_trip("ctrl-only", extra=("--ftp-ssl-control", "--disable-epsv"))


@unittest.skipUnless(CURL, "curl is not installed")
class CurlImplicitTest(ClientCase):
    CONFIG = {"auth-mechanism": "TLS", "implicit-flag": "on", "session-timeout": "30"}

    def test_ftps_url_lists_downloads_uploads(self):
        base = [CURL, "-sS", "--fail", "--max-time", "100", "-u", "%s:%s" % USER, "-k",
                "--disable-epsv"]
        listing = self.run_client(base + [self.url("ftps")]).stdout
        self.assertIn(b"blob.bin", listing)
        out = os.path.join(self.work, "implicit.bin")
        self.run_client(base + ["-o", out, self.url("ftps", path="blob.bin")])
        self.assert_downloaded(out)
        self.run_client(base + ["-T", self.upload, self.url("ftps", path="curl-implicit.bin")])
        self.assert_uploaded("curl-implicit.bin")
        self.assertIn("Command: PROT", self.inst.log())


@unittest.skipUnless(LFTP, "lftp is not installed")
class LftpTest(ClientCase):
    def lftp(self, passive, protect, tag):
        out = os.path.join(self.work, "lftp-%s.bin" % tag)
        name = "lftp-%s.bin" % tag
        script = "; ".join([
            "set cmd:fail-exit yes",
            "set net:max-retries 1",
            "set net:timeout 20",
            "set net:reconnect-interval-base 1",
            "set ssl:verify-certificate no",
            "set ssl:check-hostname no",
            "set ftp:ssl-force %s" % ("yes" if protect else "no"),
            "set ftp:ssl-allow %s" % ("yes" if protect else "no"),
            "set ftp:ssl-protect-data %s" % ("yes" if protect else "no"),
            "set ftp:ssl-protect-list %s" % ("yes" if protect else "no"),
            "set ftp:passive-mode %s" % ("yes" if passive else "no"),
            "set ftp:prefer-epsv no",
            "open -u %s,%s %s" % (USER[0], USER[1], self.url()),
            "cls -1",
            "get blob.bin -o %s" % out,
            "put %s -o %s" % (self.upload, name),
            "bye",
        ])
        r = self.run_client([LFTP, "-c", script])
        self.assertIn(b"blob.bin", r.stdout)
        self.assert_downloaded(out)
        self.assert_uploaded(name)

    def test_plain_passive_and_active(self):
        self.lftp(True, False, "plain-pasv")
        self.lftp(False, False, "plain-port")

    def test_protected_passive_and_active(self):
        before = self.inst.log().count("Command: PROT")
        self.lftp(True, True, "tls-pasv")
        self.lftp(False, True, "tls-port")
        self.assertGreaterEqual(self.inst.log().count("Command: PROT"), before + 2)


class FtplibTest(ClientCase):
    def ftplib_round_trip(self, client, passive, tag):
        self.addCleanup(client.close)
        client.connect("127.0.0.1", self.inst.port, timeout=30)
        client.login(*USER)
        if isinstance(client, ftplib.FTP_TLS):
            client.prot_p()
        client.set_pasv(passive)
        names = client.nlst()
        self.assertTrue(any(n.endswith("blob.bin") for n in names), names)
        lines = []
        client.retrlines("LIST", lines.append)
        self.assertTrue(any("blob.bin" in l for l in lines), lines)
        got = bytearray()
        client.retrbinary("RETR blob.bin", got.extend)
        self.assertEqual(bytes(got), self.payload)
        name = "ftplib-%s.bin" % tag
        client.storbinary("STOR " + name, io.BytesIO(self.upload_bytes))
        self.assert_uploaded(name)
        self.assertTrue(client.quit().startswith("221"))

    def test_plain_passive_and_active(self):
        for passive in (True, False):
            with self.subTest(passive=passive):
                self.ftplib_round_trip(ftplib.FTP(), passive, "plain-%s" % passive)

    def test_prot_p_passive_and_active(self):
        for passive in (True, False):
            with self.subTest(passive=passive):
                client = ftplib.FTP_TLS(context=h.client_tls_context())
                self.ftplib_round_trip(client, passive, "tls-%s" % passive)


class Utf8ClientTest(ClientCase):
    CONFIG = {"auth-mechanism": "TLS", "session-timeout": "30", "utf8-mode": "off",
              "default-lang": "ja", "opts-impl-UTF8": "on"}
    # Second bytes 0x5C ('\\') in Shift_JIS: 表 is 95 5C, ソ is 83 5C.
    DIR = "日本語フォルダ"
    FILE = "表示ソフト.bin"

    def test_japanese_names_travel_as_utf8_and_land_as_shift_jis(self):
        for passive in (True, False):
            with self.subTest(passive=passive):
                self.japanese_round_trip(passive)

    def japanese_round_trip(self, passive):
        client = ftplib.FTP_TLS(context=h.client_tls_context(), encoding="utf-8")
        self.addCleanup(client.close)
        client.connect("127.0.0.1", self.inst.port, timeout=30)
        client.login(*USER)
        client.prot_p()
        client.set_pasv(passive)
        self.assertEqual(client.sendcmd("OPTS UTF8 ON"), "200 utf8-mode = on.")
        feat = client.sendcmd("FEAT")
        self.assertIn("UTF8", feat)
        self.assertIn("LANG EN;JA*", feat)
        folder = "%s-%s" % (self.DIR, "pasv" if passive else "port")
        client.mkd(folder)
        client.cwd(folder)
        client.storbinary("STOR " + self.FILE, io.BytesIO(self.upload_bytes))
        self.assertTrue(any(self.FILE in n for n in client.nlst()))
        lines = []
        client.retrlines("LIST", lines.append)
        self.assertTrue(any(self.FILE in l for l in lines), lines)
        got = bytearray()
        client.retrbinary("RETR " + self.FILE, got.extend)
        self.assertEqual(bytes(got), self.upload_bytes)
        client.quit()
        # On disk: Shift_JIS names.
        root = os.fsencode(self.inst.root)
        sjis_dir = folder.encode("shift_jis")
        self.assertIn(sjis_dir, os.listdir(root))
        self.assertEqual(os.listdir(os.path.join(root, sjis_dir)), [self.FILE.encode("shift_jis")])


if __name__ == "__main__":
    unittest.main()
