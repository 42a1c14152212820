"""Operations keys against the real server, each on and off: require-tls,
tls13, require-ssl-reuse, failure-needs-password, sjis-table=cp932; the access
log line of every failed log-in and the shipped fail2ban filter that reads it.
"""
import ftplib
import io
import os
import re
import shutil
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

import test_tls as T
import torva_harness as h
from test_bans import Client, dca

USER = T.USER
CURL = shutil.which("curl")
LFTP = shutil.which("lftp")
FAIL2BAN_REGEX = shutil.which("fail2ban-regex")
FILTER = os.path.join(h.SOURCE, "conf", "fail2ban", "filter.d", "torvad.conf")
NEED_TLS = "530 Log in with AUTH TLS first."
NEED_PROT = "521 Data connections must be protected."
NO_REUSE = "425 Can't open data connection. (SSL session reuse required)"
BAD_NAME = "500 The character-code that cannot be treated is included."


def curl(*args):
    """curl over explicit FTPS with the test user; returns stdout."""
    r = subprocess.run([CURL, "-sS", "--fail", "--max-time", "60", "-k", "--ssl-reqd",
                        "--disable-epsv", "-u", "%s:%s" % USER, *args],
                       capture_output=True, timeout=90, stdin=subprocess.DEVNULL)
    assert r.returncode == 0, (args, r.stderr)
    return r.stdout


def lftp(port, *commands):
    """lftp with protected control and data connections; returns stdout."""
    script = "; ".join([
        "set cmd:fail-exit yes", "set net:max-retries 1", "set net:timeout 20",
        "set ssl:verify-certificate no", "set ssl:check-hostname no", "set ftp:ssl-force yes",
        "set ftp:ssl-protect-data yes", "set ftp:ssl-protect-list yes",
        "set ftp:prefer-epsv no", "set xfer:clobber on",
        "open -u %s,%s ftp://127.0.0.1:%d" % (USER[0], USER[1], port), *commands, "bye"])
    r = subprocess.run([LFTP, "-c", script], capture_output=True, timeout=90,
                       stdin=subprocess.DEVNULL)
    assert r.returncode == 0, (commands, r.stdout, r.stderr)
    return r.stdout


# ---------------------------------------------------------------- require-tls
class RequireTlsTest(T.ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "require-tls": "on", "anonymous": "enable",
              "anonymous-path": "/tmp", "anonymous-pass": "any"}

    def test_user_before_auth_is_refused_and_the_session_goes_on(self):
        c = self.session()
        for name in (USER[0], "anonymous"):
            self.assertEqual(c.cmd("USER " + name), NEED_TLS)
        # Nothing was taken as a name: a password is still out of sequence.
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        T.start_tls(c)
        c.login(*USER)
        self.assertEqual(c.cmd("PASS again"), "503 Bad sequence of commands.")
        c2 = self.session()
        self.assertEqual(c2.cmd("USER " + USER[0]), NEED_TLS)
        self.assertEqual(c2.cmd("PASS " + USER[1]), "503 Bad sequence of commands.")

    def test_transfers_and_listings_need_prot_p(self):
        c = self.protected(prot="C")
        for command in ("LIST", "NLST", "RETR blob.bin", "STOR fresh.bin", "APPE fresh.bin"):
            with self.subTest(command=command):
                self.assertTrue(c.cmd("PASV").startswith("227 "))
                self.assertEqual(c.cmd(command), NEED_PROT)
                self.assertEqual(c.cmd("NOOP"), "200 Command okay.")
        self.assertEqual(c.cmd("RETR blob.bin"), NEED_PROT)  # also without PORT or PASV
        self.assertFalse(os.path.exists(os.path.join(self.inst.root, "fresh.bin")))
        self.assertEqual(c.cmd("PROT P"), "200 Protection level=Private")
        data, _, first, last = T.protected_transfer(c, "RETR blob.bin", "PASV", T.tls_context())
        self.assertEqual((first, last), ("150 Connected.", "226 Closing data connection."))
        self.assertEqual(data, self.payload)

    def test_anonymous_logs_in_only_after_auth(self):
        c = self.session()
        self.assertEqual(c.cmd("USER anonymous"), NEED_TLS)
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        T.start_tls(c)
        c.login("anonymous", "x")
        self.assertTrue(c.cmd("PASV").startswith("227 "))
        self.assertEqual(c.cmd("LIST"), NEED_PROT)


class RequireTlsOffTest(T.ServerCase):
    def test_plain_log_in_and_clear_data_stay_allowed(self):
        c = self.session()
        c.login(*USER)
        host, port = T.pasv_address(c.cmd("PASV"))
        d = socket.create_connection((host, port), timeout=10)
        self.addCleanup(d.close)
        c.send("NLST\r\n")
        self.assertEqual(c.reply(), "150 Connected.")
        self.assertIn(b"blob.bin", d.recv(65536))


# ---------------------------------------------------------------- tls13
class Tls13Test(T.ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "tls13": "on"}

    def handshake(self, ctx):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        T.start_tls(c, ctx)
        return c

    def test_tls13_beside_tls12_with_aes128_gcm_first(self):
        # Python's client lists AES-256-GCM before AES-128-GCM in both versions.
        c = self.handshake(T.tls_context())
        self.assertEqual(c.sock.version(), "TLSv1.3")
        self.assertEqual(c.sock.cipher()[0], "TLS_AES_128_GCM_SHA256")
        c.login(*USER)
        self.assertEqual(c.cmd("PROT P"), "200 Protection level=Private")
        self.assertEqual(c.cmd("TYPE I"), "200 TYPE Command okay. (Type is BINARY)")
        data, _, _, last = T.protected_transfer(c, "RETR blob.bin", "PASV", T.tls_context())
        self.assertEqual((data == self.payload, last), (True, "226 Closing data connection."))
        c12 = self.handshake(T.tls_context(maximum=ssl.TLSVersion.TLSv1_2))
        self.assertEqual(c12.sock.version(), "TLSv1.2")
        self.assertEqual(c12.sock.cipher()[0], "ECDHE-RSA-AES128-GCM-SHA256")

    def test_a_client_without_aes128_still_gets_its_cipher(self):
        ctx = T.tls_context(maximum=ssl.TLSVersion.TLSv1_2)
        ctx.set_ciphers("ECDHE-RSA-CHACHA20-POLY1305")
        c = self.handshake(ctx)
        self.assertEqual(c.sock.cipher()[0], "ECDHE-RSA-CHACHA20-POLY1305")


class Tls13OffTest(T.ServerCase):
    def test_exactly_tls12_and_the_clients_cipher_order(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        T.start_tls(c)
        self.assertEqual(c.sock.version(), "TLSv1.2")
        self.assertEqual(c.sock.cipher()[0], "ECDHE-RSA-AES256-GCM-SHA384")
        c2 = self.session()
        self.assertEqual(c2.cmd("AUTH TLS"), "234 TLS was recognized.")
        with self.assertRaises(ssl.SSLError):
            T.start_tls(c2, T.tls_context(minimum=ssl.TLSVersion.TLSv1_3))


# ---------------------------------------------------------------- require-ssl-reuse
class RequireSslReuseTest(T.ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "tls13": "on", "require-ssl-reuse": "on"}

    def refused(self, c, ctx, session=None):
        """A data connection that does not resume: 150, then 425, and the end."""
        host, port = T.pasv_address(c.cmd("PASV"))
        raw = socket.create_connection((host, port), timeout=10)
        self.addCleanup(raw.close)
        c.send("RETR blob.bin\r\n")
        tls = ctx.wrap_socket(raw, session=session)
        self.assertFalse(tls.session_reused)
        self.assertEqual(c.reply(), "150 Connected.")
        self.assertEqual(c.reply(), NO_REUSE)
        self.assertTrue(c.closed())

    def test_resumed_data_connections_work_in_tls12_and_tls13(self):
        for maximum in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            for mode in ("PASV", "PORT"):
                with self.subTest(version=maximum, mode=mode):
                    ctx = T.tls_context(maximum=maximum)
                    c = self.protected(ctx)
                    session = c.sock.session
                    data, reused, _, last = T.protected_transfer(c, "RETR blob.bin", mode, ctx,
                                                                 session=session)
                    self.assertTrue(reused)
                    self.assertEqual(data, self.payload)
                    _, reused, _, last = T.protected_transfer(
                        c, "STOR reuse.bin", mode, ctx, session=session, upload=b"r" * 70000)
                    self.assertEqual((reused, last), (True, "226 Closing data connection."))

    def test_a_data_connection_without_the_session_is_refused(self):
        for maximum in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=maximum):
                ctx = T.tls_context(maximum=maximum)
                self.refused(self.protected(ctx), ctx)
        self.assert_still_serving()

    def test_the_session_of_another_control_connection_is_refused(self):
        ctx = T.tls_context(maximum=ssl.TLSVersion.TLSv1_2)
        other = self.protected(ctx)
        self.refused(self.protected(ctx), ctx, session=other.sock.session)
        self.assertEqual(other.cmd("NOOP"), "200 Command okay.")

    @unittest.skipUnless(CURL and LFTP, "curl or lftp is not installed")
    def test_curl_and_lftp_resume_and_transfer(self):
        url = "ftp://127.0.0.1:%d/" % self.inst.port
        self.assertIn(b"blob.bin", curl(url))
        self.assertEqual(curl(url + "blob.bin"), self.payload)
        work = tempfile.mkdtemp(prefix="torva-ops-")
        self.addCleanup(shutil.rmtree, work, True)
        got = os.path.join(work, "got.bin")
        self.assertIn(b"blob.bin", lftp(self.inst.port, "cls -1", "get blob.bin -o " + got))
        with open(got, "rb") as f:
            self.assertEqual(f.read(), self.payload)


# ---------------------------------------------------------------- bans
class FailureNeedsPasswordTest(unittest.TestCase):
    def start(self, on):
        inst = h.Instance(config={"failure-limit": "3",
                                  "failure-needs-password": "on" if on else None})
        self.addCleanup(inst.__exit__, None, None, None)
        inst.add_user(*USER)
        inst.start()
        return inst

    def probes(self, inst, source):
        """A TCP check, a FEAT probe and a QUIT after USER: no password tried."""
        before = inst.log().count("FTP session is closing.")
        with Client(inst.port, source) as c:
            c.reply()
        with Client(inst.port, source) as c:
            c.reply()
            self.assertTrue(c.cmd("FEAT").startswith("211"))
            c.cmd("QUIT")
        with Client(inst.port, source) as c:
            c.reply()
            c.cmd("USER " + USER[0])
            c.cmd("QUIT")
        self.wait_for(inst, "FTP session is closing.", before + 3)

    def wait_for(self, inst, text, count):
        for _ in range(500):
            if inst.log().count(text) + inst.access_log().count(text) >= count:
                return
            time.sleep(0.02)
        self.fail("%r seen fewer than %d times" % (text, count))

    def bad_password(self, inst, source):
        with Client(inst.port, source) as c:
            c.reply()
            c.cmd("USER " + USER[0])
            self.assertEqual(c.cmd("PASS wrong"), "530 Not logged in.")

    def test_on_probes_never_count_and_passwords_still_do(self):
        inst = self.start(True)
        self.probes(inst, "127.0.0.2")
        self.assertEqual(inst.log().count("No password was tried."), 3)
        self.assertNotIn("Failure count of 127.0.0.2", inst.log())
        self.assertFalse(os.path.exists(dca(inst.dc_dir, "127.0.0.2")))
        for _ in range(3):
            self.bad_password(inst, "127.0.0.2")
        self.wait_for(inst, "Return value of discon_add", 1)
        self.assertTrue(os.path.exists(dca(inst.dc_dir, "127.0.0.2")))

    def test_off_every_session_without_log_in_counts(self):
        inst = self.start(False)
        self.probes(inst, "127.0.0.3")
        self.assertNotIn("No password was tried.", inst.log())
        self.wait_for(inst, "Return value of discon_add", 1)
        self.assertIn("Added to the disconnect list: 127.0.0.3", inst.access_log())
        self.assertTrue(os.path.exists(dca(inst.dc_dir, "127.0.0.3")))


class FailedLoginLineTest(unittest.TestCase):
    """Every refused password writes one access-log line with the address and
    the quoted name; fail2ban's own tool reads the log the server wrote."""
    PREFIX = r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d [0-9A-F]{8} "

    @classmethod
    def setUpClass(cls):
        cls.inst = h.Instance(config={"time-flag": "on", "code-no-check": "on",
                                      "anonymous": "enable", "anonymous-pass": "mail"})
        cls.inst.config["anonymous-path"] = cls.inst.root
        cls.inst.add_user(*USER)
        cls.inst.start()
        cls.addClassCleanup(cls.inst.__exit__, None, None, None)
        attempts = [  # (source, user, password)
            ("127.0.0.1", USER[0], "wrong"),
            ("127.0.0.4", "nobody", "x"),
            ("127.0.0.1", "anonymous", "no-at-sign"),
            ("127.0.0.5", 'x" address=6.6.6.6 user="y', "z"),
            ("127.0.0.1", "a\\b\x1bc", "z"),
            ("127.0.0.1", USER[0], USER[1]),  # a success writes no such line
        ]
        for source, user, password in attempts:
            with Client(cls.inst.port, source) as c:
                c.reply()
                c.cmd("USER " + user)
                c.cmd("PASS " + password)
        for _ in range(500):
            if cls.inst.access_log().count("Login failed") >= 5:
                break
            time.sleep(0.02)

    def test_one_line_per_refused_password_with_a_quoted_name(self):
        lines = [l for l in self.inst.access_log().split("\n") if "Login failed" in l]
        want = ['address=127.0.0.1 user="alice"',
                'address=127.0.0.4 user="nobody"',
                'address=127.0.0.1 user="anonymous"',
                'address=127.0.0.5 user="x\\" address=6.6.6.6 user=\\"y"',
                'address=127.0.0.1 user="a\\\\b\\x1Bc"']
        self.assertEqual(len(lines), len(want), lines)
        for line, tail in zip(lines, want):
            self.assertRegex(line, "^" + self.PREFIX + "Login failed: " + re.escape(tail) + "$")

    @unittest.skipUnless(FAIL2BAN_REGEX, "fail2ban-regex is not installed")
    def test_the_shipped_filter_finds_every_failure_and_no_forged_address(self):
        r = subprocess.run([FAIL2BAN_REGEX, "-o", "ip", self.inst.stderr_path, FILTER],
                           capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split(), ["127.0.0.1", "127.0.0.4", "127.0.0.1", "127.0.0.5",
                                            "127.0.0.1"])
        r = subprocess.run([FAIL2BAN_REGEX, self.inst.stderr_path, FILTER],
                           capture_output=True, text=True, timeout=120)
        self.assertRegex(r.stdout, r"Lines: \d+ lines, 0 ignored, 5 matched")
        self.assertIn("Year2/Month/Day 24hour:Minute:Second", r.stdout)


# ---------------------------------------------------------------- sjis-table
WINDOWS_NAME = "①㈱髙～∥.txt"
# As Windows writes them: NEC row 13, NEC row 13, IBM extension, and the code
# page's own FULLWIDTH TILDE and PARALLEL TO in the JIS X 0208 rows.
WINDOWS_BYTES = b"\x87\x40\x87\x8a\xfb\xfc\x81\x60\x81\x61.txt"


class Cp932NamesTest(unittest.TestCase):
    CONFIG = {"utf8-mode": "on", "default-lang": "ja", "sjis-table": "cp932",
              "list-type-NLST": "nameonly"}

    def setUp(self):
        self.inst = h.Instance(config=self.CONFIG, users=[USER])
        self.addCleanup(self.inst.__exit__, None, None, None)
        self.inst.start()

    def client(self):
        f = ftplib.FTP(encoding="utf-8")
        self.addCleanup(f.close)
        f.connect("127.0.0.1", self.inst.port, timeout=20)
        f.login(*USER)
        return f

    def test_windows_names_are_stored_in_cp932_and_listed_back_in_utf8(self):
        f = self.client()
        f.storbinary("STOR " + WINDOWS_NAME, io.BytesIO(b"windows"))
        self.assertEqual(os.listdir(os.fsencode(self.inst.root)), [WINDOWS_BYTES])
        self.assertIn(WINDOWS_NAME, f.nlst())
        lines = []
        f.retrlines("LIST", lines.append)
        self.assertTrue(any(l.endswith(" " + WINDOWS_NAME) for l in lines), lines)
        got = bytearray()
        f.retrbinary("RETR " + WINDOWS_NAME, got.extend)
        self.assertEqual(bytes(got), b"windows")
        # A name copied from a Windows machine as it is (Roman numeral one and
        # the first IBM kanji) lists in UTF-8 and can be fetched by that name.
        h.write(os.path.join(os.fsencode(self.inst.root), b"\x87\x54\xfa\x5c.bin"), b"copied")
        self.assertIn("Ⅰ纊.bin", f.nlst())
        got = bytearray()
        f.retrbinary("RETR Ⅰ纊.bin", got.extend)
        self.assertEqual(bytes(got), b"copied")


class Cp932NamesOffTest(Cp932NamesTest):
    CONFIG = {"utf8-mode": "on", "default-lang": "ja", "list-type-NLST": "nameonly"}

    def test_windows_names_are_stored_in_cp932_and_listed_back_in_utf8(self):
        for name in ("①.txt", "～.txt", "∥.txt"):
            with self.subTest(name=name):
                f = self.client()
                with self.assertRaises(ftplib.error_perm) as e:
                    f.storbinary("STOR " + name, io.BytesIO(b"x"))
                self.assertEqual(str(e.exception), BAD_NAME)
        # JIS X 0208's own WAVE DASH and DOUBLE VERTICAL LINE take those codes.
        f = self.client()
        f.storbinary("STOR 〜‖.txt", io.BytesIO(b"jis"))
        self.assertEqual(os.listdir(os.fsencode(self.inst.root)), [b"\x81\x60\x81\x61.txt"])


if __name__ == "__main__":
    unittest.main()
