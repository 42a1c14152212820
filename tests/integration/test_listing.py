"""Directory listings against the real server: LIST and NLST in the default,
the Unix-like and the names-only format under each configuration, hidden,
read-only, old and huge files, hidden directories, unreadable directories,
listings that cannot be sent, name conversion, and real clients.

Every class starts its own server over the same tree with fixed times.
"""
import ftplib
import os
import socket
import subprocess
import time
import unittest

import torva_harness as h
from torva_harness import read, write  # noqa: F401
from test_data_transfer import (USER, CLOSING, PASV_150, NOT_LOGGED_IN, active, hard_close,
                                login, passive, recv_all)

YEAR = time.localtime().tm_year
NEW = time.mktime((YEAR, 1, 2, 3, 4, 5, 0, 0, -1))            # this year
OLD = time.mktime((YEAR - 1, 12, 31, 22, 58, 59, 0, 0, -1))   # last year
BLANKS = " " * 17



def build_tree(root):
    """a.txt, .hidden, ro.txt (read-only), old.txt (last year), huge.bin (a
    sparse 5 GiB file), docs/ with inner.txt, .cfg/ (a hidden directory) and
    empty/; every time fixed, directories last."""
    write(os.path.join(root, "a.txt"), b"x" * 1234)
    write(os.path.join(root, ".hidden"), b"12345")
    write(os.path.join(root, "ro.txt"), b"abc")
    write(os.path.join(root, "old.txt"), b"0123456789")
    with open(os.path.join(root, "huge.bin"), "wb") as f:
        f.truncate(5 << 30)
    for d in ("docs", ".cfg", "empty"):
        os.makedirs(os.path.join(root, d), exist_ok=True)
    write(os.path.join(root, "docs", "inner.txt"), b"in")
    os.chmod(os.path.join(root, "ro.txt"), 0o444)
    for name in ("a.txt", ".hidden", "ro.txt", "huge.bin", "docs/inner.txt", "docs", ".cfg",
                 "empty", "."):
        os.utime(os.path.join(root, name), (NEW, NEW))
    os.utime(os.path.join(root, "old.txt"), (OLD, OLD))


def unix(perm, size, name, when=NEW):
    t = time.localtime(when)
    month = time.strftime("%b", t)
    if t.tm_year == YEAR:
        return "%s 1 username groupnam %12u %s %2d %02d:%02d %s" % (
            perm, size, month, t.tm_mday, t.tm_hour, t.tm_min, name)
    return "%s 1 username groupnam %12u %s %2d %4d %s" % (perm, size, month, t.tm_mday, t.tm_year, name)


def stamp(when=NEW):
    return time.strftime("%Y/%m/%d %H:%M:%S", time.localtime(when))


UNIX_FILES = {
    "a.txt": unix("-rwxrwxrwx", 1234, "a.txt"),
    "ro.txt": unix("-r-xr-xr-x", 3, "ro.txt"),
    "old.txt": unix("-rwxrwxrwx", 10, "old.txt", OLD),
    "huge.bin": unix("-rwxrwxrwx", 5 << 30, "huge.bin"),  # the whole size
}
UNIX_HIDDEN = {".hidden": unix("-rwxrwxrwx", 5, ".hidden")}
UNIX_DIRS = {"docs": unix("drwxrwxrwx", 0, "docs"), "empty": unix("drwxrwxrwx", 0, "empty")}
UNIX_HIDDEN_DIRS = {".cfg": unix("drwxrwxrwx", 0, ".cfg")}

DEFAULT_FILES = {
    "a.txt": "%s         1234 byte a.txt" % stamp(),
    "ro.txt": "%s            3 byte ro.txt" % stamp(),
    "old.txt": "%s           10 byte old.txt" % stamp(OLD),
    "huge.bin": "%s ???????????? byte huge.bin" % stamp(),
}
DEFAULT_DIRS = {d: "%s %s [%s]" % (stamp(), BLANKS, d) for d in ("docs", ".cfg", "empty")}

ALL_NAMES = {".", "..", "a.txt", ".hidden", "ro.txt", "old.txt", "huge.bin", "docs", ".cfg",
             "empty"}


def listing(c, command, mode="pasv"):
    """(150 reply, lines, final reply) of one listing command."""
    if mode == "pasv":
        s = passive(c)
        c.send(command + "\r\n")
    else:
        ls = active(c)
        c.send(command + "\r\n")
        s, _ = ls.accept()
        ls.close()
    first = c.reply()
    raw = recv_all(s)
    s.close()
    last = c.reply()
    assert raw == b"" or raw.endswith(b"\r\n"), raw[-100:]
    return first, raw.decode("latin-1").split("\r\n")[:-1], last


class ListingCase(h.ServerCase):
    USERS = [USER]

    @classmethod
    def prepare_file(cls, inst):
        build_tree(inst.root)

    @classmethod
    def tearDownClass(cls):
        os.chmod(os.path.join(cls.inst.root, "ro.txt"), 0o644)
        super().tearDownClass()

    def session(self):
        c = login(self.inst)
        self.addCleanup(c.close)
        return c

    def lines(self, command, cwd=None, mode="pasv"):
        c = self.session()
        if cwd:
            self.assertTrue(c.cmd("CWD " + cwd).startswith("250"))
        first, lines, last = listing(c, command, mode)
        self.assertEqual(first, PASV_150 if mode == "pasv" else "150 Connected. (ASCII mode)")
        self.assertEqual(last, CLOSING)
        self.assertTrue(c.cmd("PWD").startswith("257"))
        return lines

    def assertListing(self, lines, header, entries):
        self.assertEqual(lines[0], header)
        self.assertEqual(sorted(lines[1:]), sorted(entries))


class Defaults(ListingCase):
    """Neither list type set, list-type-unix on: Unix-like everywhere."""

    def test_list_and_nlst_use_the_unix_format_with_hidden_entries(self):
        expected = {**UNIX_FILES, **UNIX_HIDDEN, **UNIX_DIRS, **UNIX_HIDDEN_DIRS}.values()
        for command in ("LIST", "NLST"):
            with self.subTest(command=command):
                self.assertListing(self.lines(command), "List of root-directory", expected)

    def test_client_options_are_used(self):
        root = self.inst.root
        dots = [unix("drwxrwxrwx", 0, ".", os.stat(root).st_mtime),
                unix("drwxrwxrwx", 0, "..", os.stat(os.path.dirname(root)).st_mtime)]
        # Without 'a' hidden entries go; 'A' brings the dot entries.
        self.assertListing(self.lines("LIST -l"), "List of root-directory",
                           {**UNIX_FILES, **UNIX_DIRS}.values())
        self.assertListing(self.lines("LIST -lA"), "List of root-directory",
                           list({**UNIX_FILES, **UNIX_DIRS}.values()) + dots)
        self.assertListing(self.lines("LIST -aA"), "List of root-directory",
                           list({**UNIX_FILES, **UNIX_HIDDEN, **UNIX_DIRS,
                                 **UNIX_HIDDEN_DIRS}.values()) + dots)
        # The letters count anywhere in the text, a name's included.
        self.assertListing(self.lines("LIST data"), "List of root-directory",
                           {**UNIX_FILES, **UNIX_HIDDEN, **UNIX_DIRS, **UNIX_HIDDEN_DIRS}.values())

    def test_the_argument_never_names_another_directory(self):
        self.assertEqual(self.lines("LIST docs"), self.lines("LIST -l"))

    def test_subdirectory_header_with_default_separator(self):
        lines = self.lines("LIST", cwd="docs")
        self.assertEqual(lines[0], "List of \\docs\\")
        self.assertEqual(lines[1:], [unix("-rwxrwxrwx", 2, "inner.txt")])

    def test_empty_directory(self):
        self.assertEqual(self.lines("LIST -l", cwd="empty"), ["List of \\empty\\"])

    def test_active_mode(self):
        self.assertListing(self.lines("LIST -l", mode="port"), "List of root-directory",
                           {**UNIX_FILES, **UNIX_DIRS}.values())

    def test_without_port_or_pasv(self):
        for command in ("LIST", "NLST"):
            with self.subTest(command=command):
                c = self.session()
                self.assertEqual(c.cmd(command), NOT_LOGGED_IN)
                self.assertTrue(c.closed())
        c = self.inst.connect()
        self.addCleanup(c.close)
        c.reply()
        self.assertEqual(c.cmd("LIST"), NOT_LOGGED_IN)
        self.assertTrue(c.closed())

    def test_unreadable_directory(self):
        gone = os.path.join(self.inst.root, "gone")
        os.makedirs(gone, exist_ok=True)
        c = self.session()
        self.assertTrue(c.cmd("CWD gone").startswith("250"))
        os.rmdir(gone)
        first, lines, last = listing(c, "LIST")
        self.assertEqual((first, last), (PASV_150, CLOSING))
        self.assertEqual(lines, ["List of \\gone\\", "Cannot access. (3)"])
        os.utime(self.inst.root, (NEW, NEW))
        self.assertIn("Access directory: [%s/gone/*]" % self.inst.root, self.inst.log())


class DefaultFormat(ListingCase):
    CONFIG = {"list-type-unix": "off", "dir-separator": "/"}

    def test_no_argument_gives_the_default_format(self):
        self.assertListing(self.lines("LIST"), "List of root-directory",
                           {**DEFAULT_FILES, **DEFAULT_DIRS}.values())

    def test_dot_entries_below_the_top(self):
        root = self.inst.root
        lines = self.lines("LIST", cwd="empty")
        self.assertListing(lines, "List of /empty/",
                           ["%s %s [.]" % (stamp(), BLANKS),
                            "%s %s [..]" % (stamp(os.stat(root).st_mtime), BLANKS)])

    def test_options_select_the_unix_format_without_hidden(self):
        self.assertListing(self.lines("LIST -l"), "List of root-directory",
                           {**UNIX_FILES, **UNIX_DIRS}.values())
        self.assertListing(self.lines("LIST docs"), "List of root-directory",
                           {**DEFAULT_FILES, **DEFAULT_DIRS}.values())


class ConfiguredTypes(ListingCase):
    CONFIG = {"list-type-LIST": "unix", "list-type-NLST": "nameonly"}

    def test_unix_type_ignores_the_client_options(self):
        expected = {**UNIX_FILES, **UNIX_HIDDEN, **UNIX_DIRS, **UNIX_HIDDEN_DIRS}.values()
        for command in ("LIST", "LIST -l", "LIST docs"):
            with self.subTest(command=command):
                self.assertListing(self.lines(command), "List of root-directory", expected)

    def test_names_only(self):
        for command in ("NLST", "NLST -l"):
            with self.subTest(command=command):
                self.assertListing(self.lines(command), "List of root-directory", ALL_NAMES)
        self.assertListing(self.lines("NLST", cwd="docs"), "List of \\docs\\",
                           {".", "..", "inner.txt"})


class DefaultType(ListingCase):
    CONFIG = {"list-type-LIST": "default"}

    def test_default_type_even_with_options(self):
        for command in ("LIST", "LIST -la"):
            with self.subTest(command=command):
                self.assertListing(self.lines(command), "List of root-directory",
                                   {**DEFAULT_FILES, **DEFAULT_DIRS}.values())


class NoDirectories(ListingCase):
    CONFIG = {"no-list-dir": "on", "list-type-NLST": "nameonly"}

    def test_no_directory_in_any_format(self):
        self.assertListing(self.lines("LIST"), "List of root-directory",
                           {**UNIX_FILES, **UNIX_HIDDEN}.values())
        self.assertListing(self.lines("LIST -laA"), "List of root-directory",
                           {**UNIX_FILES, **UNIX_HIDDEN}.values())
        self.assertListing(self.lines("NLST"), "List of root-directory",
                           ALL_NAMES - {".", "..", "docs", ".cfg", "empty"})


class DefaultFormatNoDirectories(ListingCase):
    CONFIG = {"no-list-dir": "on", "list-type-LIST": "default"}

    def test_no_directory_in_the_default_format(self):
        self.assertListing(self.lines("LIST"), "List of root-directory", DEFAULT_FILES.values())


class LargeAndFailingListings(h.ServerCase):
    COUNT = 3000
    CONFIG = {"list-type-NLST": "nameonly"}
    USERS = [USER]

    @classmethod
    def prepare(cls, inst):
        for i in range(cls.COUNT):
            write(os.path.join(inst.root, "entry_%05d_with_a_longer_name.dat" % i), b"")

    def test_every_entry_exactly_once(self):
        names = {"entry_%05d_with_a_longer_name.dat" % i for i in range(self.COUNT)}
        c = login(self.inst)
        self.addCleanup(c.close)
        for command, pick in (("NLST", lambda line: line),
                              ("LIST", lambda line: line.rsplit(" ", 1)[-1])):
            with self.subTest(command=command):
                first, lines, last = listing(c, command)
                self.assertEqual((first, last), (PASV_150, CLOSING))
                self.assertEqual(lines[0], "List of root-directory")
                got = [pick(line) for line in lines[1:]]
                self.assertEqual(len(got), len(set(got)))
                self.assertEqual(set(got) - {".", ".."}, names)

    def test_listing_that_cannot_be_sent_still_ends_with_226(self):
        c = login(self.inst)
        self.addCleanup(c.close)
        s = passive(c)
        hard_close(s)
        c.send("LIST\r\n")
        self.assertEqual(c.reply(), PASV_150)
        self.assertEqual(c.reply(), CLOSING)
        self.assertTrue(c.cmd("PWD").startswith("257"))
        self.assertTrue(self.inst.wait_log("Failed send() errno="))


class NameConversion(unittest.TestCase):
    SJIS = "日本語.txt".encode("shift_jis")

    def run_listing(self, config):
        with h.Instance(config=dict(config, **{"list-type-NLST": "nameonly"}), users=[USER]) as inst:
            write(os.path.join(os.fsencode(inst.root), self.SJIS), b"")
            inst.start()
            c = login(inst)
            try:
                first, lines, last = listing(c, "NLST")
            finally:
                c.close()
            self.assertEqual(last, CLOSING)
            return [line.encode("latin-1") for line in lines]

    def test_names_go_out_as_utf8_unless_only_the_control_connection_converts(self):
        base = {"utf8-mode": "on", "default-lang": "ja"}
        self.assertIn("日本語.txt".encode("utf-8"), self.run_listing(base))
        self.assertIn(self.SJIS, self.run_listing(dict(base, **{"utf8-ctrl-only": "on"})))
        self.assertIn(self.SJIS, self.run_listing({"utf8-mode": "on", "default-lang": "en"}))


class RealClients(ListingCase):
    CONFIG = {"list-type-NLST": "nameonly", "dir-separator": "/"}

    def test_ftplib(self):
        for pasv in (True, False):
            with self.subTest(pasv=pasv):
                f = ftplib.FTP()
                f.connect("127.0.0.1", self.inst.port, timeout=20)
                f.login(*USER)
                f.set_pasv(pasv)
                self.assertEqual(set(f.nlst()), ALL_NAMES | {"List of root-directory"})
                lines = []
                f.dir(lines.append)
                self.assertEqual(lines[0], "List of root-directory")
                self.assertIn(UNIX_FILES["ro.txt"], lines)
                f.cwd("docs")
                self.assertEqual(sorted(f.nlst()), sorted(["List of /docs/", ".", "..", "inner.txt"]))
                f.quit()

    def test_curl_and_lftp(self):
        url = "ftp://127.0.0.1:%d/docs/" % self.inst.port
        for mode in (["--disable-epsv"], ["-P", "127.0.0.1"]):
            with self.subTest(client="curl", mode=mode[0]):
                r = subprocess.run(["curl", "-sS", "--max-time", "30", "-u", "%s:%s" % USER, *mode,
                                    "-l", url], capture_output=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(sorted(r.stdout.decode().splitlines()),
                                 sorted(["List of /docs/", ".", "..", "inner.txt"]))
        for passive_mode in ("on", "off"):
            with self.subTest(client="lftp", passive=passive_mode):
                script = ("set ftp:passive-mode %s; set net:max-retries 1; set net:timeout 20; "
                          "cd docs; nlist; ls; bye" % passive_mode)
                r = subprocess.run(["lftp", "-u", "%s,%s" % USER, "-e", script,
                                    "127.0.0.1:%d" % self.inst.port],
                                   capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
                self.assertEqual(r.returncode, 0, r.stderr)
                out = r.stdout.decode().splitlines()
                self.assertIn("inner.txt", out)
                self.assertIn(unix("-rwxrwxrwx", 2, "inner.txt"), out)


if __name__ == "__main__":
    unittest.main()
