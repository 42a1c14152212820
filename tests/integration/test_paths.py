"""Virtual paths and file management: CWD, CDUP, PWD, MKD, RMD, DELE, RNFR, RNTO
and SIZE against a real server, with raw sockets, ftplib and curl.

Every class runs one server. Next to each user's top directory lies a directory
"outside" that no command may reach; the checks compare it before and after.
"""
import ftplib
import io
import os
import shutil
import subprocess
import unittest

import torva_harness as h
from torva_harness import read, write  # noqa: F401

NOT_TAKEN = "550 Requested action not taken."
CANNOT_MAKE = "550 Requested action not taken. (Cannot access)"
STILL_EXIST = "550 Requested action not taken. (Still exist)"
NOT_FOUND = "550 Requested action not taken. (not found)"
CANNOT_ACCESS = "550 Requested action not taken. (cannot access)"
DONE = "250 Requested file action okay, completed."
PENDING = "350 Requested file action pending further information."
DOTS = '501 The file including ".." cannot be treated.'
NO_PERMISSION = "550 No permission."
NOT_LOGGED_IN = "530 Not logged in."
SYNTAX = "501 Syntax error in parameters or arguments."
BAD_SEQUENCE = "503 Bad sequence of commands."




def cut(reply):
    """A reply line as sent: at most 1021 characters before its CR LF."""
    return reply[:1021]


def tree(top):
    """Every path below `top` (bytes, relative) with the content of files."""
    out = {}
    top = os.fsencode(top)
    for d, dirs, files in os.walk(top):
        for name in dirs:
            out[os.path.relpath(os.path.join(d, name), top)] = None
        for name in files:
            p = os.path.join(d, name)
            if os.path.isfile(p):
                with open(p, "rb") as f:
                    out[os.path.relpath(p, top)] = f.read()
            else:
                out[os.path.relpath(p, top)] = "not a regular file"
    return out


class ServerCase(h.ServerCase):
    """One server per class with user alice and a directory beside the top
    directory that no command may touch; subclasses add `CONFIG` and `prepare`."""
    USERS = [("alice", "pw1")]
    empty_root = False  # each test starts from an empty top directory

    @classmethod
    def prepare_file(cls, inst):
        cls.root = inst.root
        cls.outside = os.path.join(inst.dir, "outside")
        os.makedirs(os.path.join(cls.outside, "inner"))
        write(os.path.join(cls.outside, "secret"), b"do not touch")

    def setUp(self):
        if self.empty_root:
            top = os.fsencode(self.root)
            for name in os.listdir(top):
                path = os.path.join(top, name)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
        self.outside_before = tree(self.outside)
        self.top_before = sorted(os.listdir(self.inst.dir))

    def tearDown(self):
        self.assertEqual(tree(self.outside), self.outside_before)
        self.assertEqual(sorted(os.listdir(self.inst.dir)), self.top_before)

    def client(self, user="alice", password="pw1"):
        c = self.inst.connect()
        self.addCleanup(c.close)
        self.assertTrue(c.reply().startswith("220 "))
        if user is not None:
            c.login(user, password)
        return c

    def at(self, *parts):
        return os.path.join(self.root, *parts)

    def check(self, c, pairs):
        for command, reply in pairs:
            self.assertEqual(c.cmd(command), reply, command)


class SlashSeparatorTest(ServerCase):
    """dir-separator '/', language en; named users, one of them read-only."""

    CONFIG = {"dir-separator": "/", "default-lang": "en"}

    @classmethod
    def prepare(cls, inst):
        os.makedirs(os.path.join(cls.root, "docs", "2024"))
        os.makedirs(os.path.join(cls.root, "other"))
        write(os.path.join(cls.root, "file10"), b"0123456789")
        inst.add_user("reader", "pw2", readonly=True)

    def test_cwd_cdup_pwd_round_trips(self):
        c = self.client()
        self.check(c, [
            ("PWD", '257 "/" is CWD.'),
            ("CWD docs/2024", '250 "/docs/2024/" is new CWD.'),
            ("PWD", '257 "/docs/2024/" is CWD.'),
            ("CDUP", '250 "/docs/" is new CWD.'),
            ("CDUP", '250 "/" is new CWD.'),
            ("CDUP", NOT_TAKEN),
            ("CWD ..", NOT_TAKEN),
            ("PWD", '257 "/" is CWD.'),
            ("CWD \\docs\\2024", '250 "/docs/2024/" is new CWD.'),
            ("CWD /", '250 "/" is new CWD.'),
            ("CWD \\docs/2024\\", '250 "/docs/2024/" is new CWD.'),
            ("CWD \\", '250 "/" is new CWD.'),
            ("CWD docs//2024", '250 "/docs/2024/" is new CWD.'),
            ("CWD ../../other", '250 "/other/" is new CWD.'),
            ("CWD /docs/../other", '250 "/other/" is new CWD.'),
            ("CWD ./../docs/./2024/.", '250 "/docs/2024/" is new CWD.'),
            ("CWD ..", '250 "/docs/" is new CWD.'),
        ])
        # Refusals leave the current directory as it was.
        for bad in ("missing", "../file10", "/file10", "2024/missing/..", "../../..", "/..",
                    "2024/../../../docs"):
            self.assertEqual(c.cmd("CWD " + bad), NOT_TAKEN, bad)
            self.assertEqual(c.cmd("PWD"), '257 "/docs/" is CWD.', bad)

    def test_mkd(self):
        c = self.client()
        self.check(c, [
            ("MKD a/b/c", '257 "/a/b/c/" created.'),
            ("MKD a/b/c", STILL_EXIST),
            ("MKD \\m\\n", '257 "/m/n/" created.'),
            ("MKD /m\\n/o", '257 "/m/n/o/" created.'),
            ("CWD a", '250 "/a/" is new CWD.'),
            ("MKD d", '257 "/a/d/" created.'),
            ("MKD /top2", '257 "/top2/" created.'),
            ("MKD new/../b", '257 "/a/b/" created.'),
            ("MKD .", STILL_EXIST),
            ("MKD /file10/x", CANNOT_MAKE),
            ("CWD /", '250 "/" is new CWD.'),
            ("MKD ..", CANNOT_MAKE),
            ("MKD r/s/../../..", CANNOT_MAKE),
            ("PWD", '257 "/" is CWD.'),
        ])
        for d in ("a/b/c", "m/n/o", "a/d", "top2", "a/new", "r/s"):
            self.assertTrue(os.path.isdir(self.at(d)), d)
        self.assertFalse(os.path.exists(self.at("file10", "x")))

    def test_rmd(self):
        os.makedirs(self.at("e", "f"))
        os.makedirs(self.at("g"))
        write(self.at("e", "f", "keep"), b"x")
        c = self.client()
        self.check(c, [
            ("RMD e/f", "550 Requested action not taken. (145)"),
            ("RMD \\", NOT_TAKEN),
            ("RMD /", NOT_TAKEN),
            ("RMD ..", NOT_TAKEN),
            ("RMD missing", NOT_TAKEN),
            ("RMD file10", NOT_TAKEN),
            ("RMD e/f/keep", NOT_TAKEN),
        ])
        self.assertTrue(os.path.isfile(self.at("e", "f", "keep")))
        os.remove(self.at("e", "f", "keep"))
        self.check(c, [
            ("CWD e", '250 "/e/" is new CWD.'),
            ("RMD f", DONE),
            ("RMD /e", DONE),
            # The current directory may go; it stays current.
            ("CWD /g", '250 "/g/" is new CWD.'),
            ("RMD .", DONE),
            ("PWD", '257 "/g/" is CWD.'),
        ])
        self.assertFalse(os.path.exists(self.at("e")))
        self.assertFalse(os.path.exists(self.at("g")))

    def test_dele(self):
        write(self.at("d1"), b"1")
        write(self.at("docs", "d2"), b"2")
        c = self.client()
        self.check(c, [
            ("DELE d1", DONE),
            ("DELE d1", NOT_FOUND),
            ("DELE docs", "450 Requested file action not taken. (cannot access)"),
            ("DELE x..y", DOTS),
            ("CWD docs/2024", '250 "/docs/2024/" is new CWD.'),
            ("DELE /docs/d2", DONE),
        ])
        self.assertFalse(os.path.exists(self.at("d1")))
        self.assertFalse(os.path.exists(self.at("docs", "d2")))
        self.assertTrue(os.path.isdir(self.at("docs")))

    def test_rename(self):
        write(self.at("r1"), b"r")
        os.makedirs(self.at("rdir"))
        c = self.client()
        self.check(c, [
            ("RNFR missing", NOT_TAKEN),
            ("RNFR r1", PENDING),
            ("RNTO file10", NOT_TAKEN),
        ])
        # The failed RNTO used up the RNFR.
        self.assertEqual(c.cmd("RNTO r2"), BAD_SEQUENCE)
        self.assertTrue(c.closed())
        self.assertTrue(os.path.exists(self.at("r1")))
        self.assertFalse(os.path.exists(self.at("r2")))

        c = self.client()
        self.check(c, [
            ("RNFR r1", PENDING),
            ("RNTO r2", DONE),
            ("RNFR /rdir", PENDING),
            ("RNTO other\\moved", DONE),
            ("RNFR r2", PENDING),
            ("RNTO x..y", DOTS),
        ])
        self.assertEqual(c.cmd("RNTO r3"), BAD_SEQUENCE)
        self.assertTrue(c.closed())
        self.assertEqual(read(self.at("r2")), b"r")
        self.assertTrue(os.path.isdir(self.at("other", "moved")))
        self.assertFalse(os.path.exists(self.at("rdir")))

        c = self.client()
        self.assertEqual(c.cmd("RNTO r4"), BAD_SEQUENCE)
        self.assertTrue(c.closed())

    def test_size(self):
        big = self.at("big")
        with open(big, "wb") as f:
            f.truncate(5 * 1024 ** 3)
        self.addCleanup(os.remove, big)
        os.mkfifo(self.at("fifo"))
        self.addCleanup(os.remove, self.at("fifo"))
        write(self.at("docs", "s3"), b"abc")
        c = self.client()
        self.check(c, [
            ("SIZE file10", "213 10"),
            ("SIZE /file10", "213 10"),
            ("SIZE big", "213 5368709120"),
            ("SIZE docs", CANNOT_ACCESS),
            ("SIZE fifo", CANNOT_ACCESS),
            ("SIZE missing", NOT_FOUND),
            ("SIZE x..y", DOTS),
            ("SIZE docs/../file10", DOTS),
            ("CWD docs", '250 "/docs/" is new CWD.'),
            ("SIZE s3", "213 3"),
            ("SIZE \\docs/s3", "213 3"),
        ])

    def test_read_only_user_may_not_write(self):
        write(self.at("ro"), b"ro")
        before = tree(self.root)
        c = self.client("reader", "pw2")
        self.check(c, [
            ("MKD z", NO_PERMISSION),
            ("RMD docs/2024", NO_PERMISSION),
            ("DELE ro", NO_PERMISSION),
            ("RNFR ro", NO_PERMISSION),
            ("SIZE ro", "213 2"),
            ("CWD docs", '250 "/docs/" is new CWD.'),
        ])
        self.assertEqual(c.cmd("RNTO x"), BAD_SEQUENCE)
        self.assertTrue(c.closed())
        self.assertEqual(tree(self.root), before)

    def test_log_in_and_argument_are_required(self):
        for command in ("CWD docs", "CDUP", "PWD", "MKD x", "RMD docs", "DELE file10",
                        "RNFR file10", "RNTO x", "SIZE file10"):
            c = self.client(None)
            self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
            self.assertEqual(c.cmd(command), NOT_LOGGED_IN, command)
            self.assertTrue(c.closed(), command)
        for command in ("CWD", "MKD", "RMD", "DELE", "RNFR", "SIZE"):
            c = self.client()
            self.assertEqual(c.cmd(command), SYNTAX, command)
            self.assertTrue(c.closed(), command)
        c = self.client()
        self.assertEqual(c.cmd("RNFR file10"), PENDING)
        self.assertEqual(c.cmd("RNTO"), SYNTAX)
        self.assertTrue(c.closed())
        self.assertTrue(os.path.isfile(self.at("file10")))

    def test_names_stay_below_the_top(self):
        c = self.client()
        attempts = [
            ("CWD ../outside", NOT_TAKEN), ("CWD ..\\outside", NOT_TAKEN),
            ("CWD /../outside", NOT_TAKEN), ("CWD \\..\\..", NOT_TAKEN),
            ("CWD docs/../../outside", NOT_TAKEN), ("CWD docs\\..\\/..\\outside", NOT_TAKEN),
            ("MKD ../evil", CANNOT_MAKE), ("MKD /../evil", CANNOT_MAKE),
            ("MKD docs/../../evil", CANNOT_MAKE), ("MKD ..\\evil", CANNOT_MAKE),
            ("MKD ../outside/inner/evil", CANNOT_MAKE),
            ("RMD ../outside/inner", NOT_TAKEN), ("RMD /../outside/inner", NOT_TAKEN),
            ("RMD docs/../../outside/inner", NOT_TAKEN),
            ("DELE ../outside/secret", DOTS), ("DELE /../outside/secret", DOTS),
            ("DELE \\..\\outside\\secret", DOTS), ("DELE docs/..\\../outside/secret", DOTS),
            ("RNFR ../outside/secret", DOTS), ("SIZE ../outside/secret", DOTS),
            ("SIZE ..", DOTS), ("RNFR file10", PENDING), ("RNTO ../outside/stolen", DOTS),
            ("PWD", '257 "/" is CWD.'),
        ]
        self.check(c, attempts)
        self.assertTrue(os.path.isfile(self.at("file10")))

    def test_length_limits(self):
        # A local file path has room for 259 characters: root_dir (with its
        # separator) and the name.
        room = 259 - len(self.root + "/")
        write(self.at("n" * room), b"fits")
        write(self.at("m" * (room + 1)), b"too long")
        c = self.client()
        self.check(c, [
            ("SIZE " + "n" * room, "213 4"),
            ("SIZE " + "m" * (room + 1), NOT_TAKEN),
            ("DELE " + "m" * (room + 1), NOT_TAKEN),
            ("RNFR " + "m" * (room + 1), NOT_TAKEN),
            ("RNFR " + "n" * room, PENDING),
            ("RNTO " + "m" * (room + 2), NOT_TAKEN),
            ("SIZE " + "q" * 1000, NOT_TAKEN),
            ("DELE " + "n" * room, DONE),
        ])
        self.assertTrue(os.path.isfile(self.at("m" * (room + 1))))
        self.assertFalse(os.path.exists(self.at("n" * room)))

        # cur_dir holds 1023 characters: three names of 255 and one of 254,
        # each with its separator.
        deep = [c_ * 255 for c_ in "pqr"]
        os.makedirs(self.at(*deep, "s" * 254))
        os.makedirs(self.at(*deep, "t" * 255))
        shown = "/" + "/".join(deep) + "/"
        for name in deep:
            self.assertEqual(c.cmd("CWD " + name)[:4], "250 ")
        self.check(c, [
            ("PWD", '257 "%s" is CWD.' % shown),
            ("CWD " + "t" * 255, NOT_TAKEN),
            ("MKD " + "u" * 255, CANNOT_MAKE),
            ("PWD", '257 "%s" is CWD.' % shown),
            ("CWD " + "s" * 254, cut('250 "%s%s/" is new CWD.' % (shown, "s" * 254))),
            ("PWD", cut('257 "%s%s/" is CWD.' % (shown, "s" * 254))),
            ("MKD x", CANNOT_MAKE),
            ("SIZE x", NOT_TAKEN),
            ("CDUP", '250 "%s" is new CWD.' % shown),
        ])
        self.assertFalse(os.path.exists(self.at(*deep, "u" * 255)))
        self.assertFalse(os.path.exists(self.at(*deep, "s" * 254, "x")))

    def test_ftplib_client(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.inst.port, timeout=10)
        self.addCleanup(ftp.close)
        ftp.login("alice", "pw1")
        self.assertEqual(ftp.pwd(), "/")
        self.assertEqual(ftp.mkd("work"), "/work/")
        ftp.cwd("work")
        self.assertEqual(ftp.pwd(), "/work/")
        data = b"hello from ftplib\n"
        try:
            ftp.storbinary("STOR up.txt", io.BytesIO(data))
        except ftplib.error_perm as e:
            # No upload command in this build: the file is made on disk.
            self.assertTrue(str(e).startswith("502"), str(e))
            write(self.at("work", "up.txt"), data)
        self.assertEqual(ftp.size("up.txt"), len(data))
        ftp.rename("up.txt", "renamed.txt")
        self.assertEqual(ftp.size("/work/renamed.txt"), len(data))
        self.assertEqual(read(self.at("work", "renamed.txt")), data)
        with self.assertRaises(ftplib.error_perm):
            ftp.size("up.txt")
        ftp.mkd("sub")
        ftp.rename("sub", "sub2")
        ftp.delete("renamed.txt")
        ftp.rmd("sub2")
        ftp.cwd("..")
        ftp.rmd("work")
        self.assertFalse(os.path.exists(self.at("work")))
        self.assertEqual(ftp.quit()[:3], "221")

    def test_curl_client(self):
        url = "ftp://%s@127.0.0.1:%d/" % ("%s:%s", self.inst.port)

        def curl(user, password, *quotes):
            args = ["curl", "-sv", "--max-time", "20", "-I", url % (user, password)]
            for q in quotes:
                args += ["-Q", q]
            return subprocess.run(args, capture_output=True, timeout=30)

        write(self.at("cfile"), b"curl")
        r = curl("alice", "pw1", "MKD cdir", "RNFR cdir", "RNTO cdir2", "RNFR cfile", "RNTO cfile2")
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.assertIn(b'257 "/cdir/" created.', r.stderr)
        self.assertTrue(os.path.isdir(self.at("cdir2")))
        self.assertTrue(os.path.isfile(self.at("cfile2")))
        r = curl("alice", "pw1", "SIZE cfile2", "DELE cfile2", "RMD cdir2")
        self.assertEqual(r.returncode, 0, r.stderr.decode(errors="replace"))
        self.assertIn(b"213 4", r.stderr)
        self.assertFalse(os.path.exists(self.at("cfile2")))
        self.assertFalse(os.path.exists(self.at("cdir2")))
        # A refused quote command and a refused log-in make curl fail.
        self.assertEqual(curl("alice", "pw1", "MKD docs").returncode, 21)
        self.assertEqual(curl("alice", "nope", "MKD x").returncode, 67)
        self.assertFalse(os.path.exists(self.at("x")))


class BackslashSeparatorTest(ServerCase):
    """Default separator '\\', SIZE-msg-compat, anonymous users without write."""

    CONFIG = {"SIZE-msg-compat": "on", "anonymous": "enable", "default-lang": "en"}

    @classmethod
    def prepare(cls, inst):
        inst.config["anonymous-path"] = cls.root
        os.makedirs(os.path.join(cls.root, "docs", "2024"))
        write(os.path.join(cls.root, "file10"), b"0123456789")

    def test_replies_show_backslash(self):
        c = self.client()
        self.check(c, [
            ("CWD docs/2024", '250 "\\docs\\2024\\" is new CWD.'),
            ("PWD", '257 "\\docs\\2024\\" is CWD.'),
            ("CDUP", '250 "\\docs\\" is new CWD.'),
            ("CWD /", '250 "\\" is new CWD.'),
            ("PWD", '257 "\\" is CWD.'),
            ("SIZE file10", "200 SIZE=10"),
            ("SIZE docs", CANNOT_ACCESS),
            ("MKD \\m\\n", '257 "\\m\\n\\" created.'),
        ])
        self.assertTrue(os.path.isdir(self.at("m", "n")))

    def test_slash_is_no_separator_for_mkd(self):
        c = self.client()
        self.check(c, [
            ("MKD x", '257 "\\x\\" created.'),
            ("MKD x/y", CANNOT_MAKE),
            ("MKD x/../../escaped", CANNOT_MAKE),
            ("MKD x/../x/../../escaped", CANNOT_MAKE),
            ("CWD x", '250 "\\x\\" is new CWD.'),
            ("MKD ../../escaped", CANNOT_MAKE),
            ("MKD y/../../../escaped", CANNOT_MAKE),
        ])
        self.assertEqual(os.listdir(self.at("x")), [])

    def test_anonymous_without_write_permission(self):
        write(self.at("anon"), b"a")
        before = tree(self.root)
        c = self.client("anonymous", "me@example.org")
        self.check(c, [
            ("MKD z", NO_PERMISSION),
            ("RMD docs\\2024", NO_PERMISSION),
            ("DELE anon", NO_PERMISSION),
            ("RNFR anon", NO_PERMISSION),
            ("SIZE anon", "200 SIZE=1"),
        ])
        self.assertEqual(c.cmd("RNTO x"), BAD_SEQUENCE)
        self.assertTrue(c.closed())
        self.assertEqual(tree(self.root), before)


SO = "\x83\x5c"   # Shift_JIS katakana SO: its second byte is '\'
HYO = "\x95\x5c"  # Shift_JIS kanji HYO: likewise


class ShiftJisTest(ServerCase):
    """Language ja with raw Shift_JIS names (code-no-check lets them through)."""

    CONFIG = {"default-lang": "ja", "code-no-check": "on"}
    empty_root = True

    def test_trail_byte_is_no_separator(self):
        c = self.client()
        self.check(c, [
            ("MKD " + SO, '257 "\\%s\\" created.' % SO),
            ("CWD " + SO, '250 "\\%s\\" is new CWD.' % SO),
            ("PWD", '257 "\\%s\\" is CWD.' % SO),
            ("MKD " + HYO, '257 "\\%s\\%s\\" created.' % (SO, HYO)),
            ("CWD " + HYO, '250 "\\%s\\%s\\" is new CWD.' % (SO, HYO)),
            ("CDUP", '250 "\\%s\\" is new CWD.' % SO),
            ("CDUP", '250 "\\" is new CWD.'),
            ("CWD %s\\%s\\" % (SO, HYO), '250 "\\%s\\%s\\" is new CWD.' % (SO, HYO)),
            ("CWD ..\\..", '250 "\\" is new CWD.'),
            ("CWD /%s/%s" % (SO, HYO), '250 "\\%s\\%s\\" is new CWD.' % (SO, HYO)),
            ("CWD /", '250 "\\" is new CWD.'),
        ])
        sj = os.path.join(os.fsencode(self.root), b"\x83\x5c")
        self.assertEqual(sorted(os.listdir(os.fsencode(self.root))), [b"\x83\x5c"])
        self.assertEqual(os.listdir(sj), [b"\x95\x5c"])
        write(os.path.join(sj, b"f.txt"), b"0123456789")
        self.check(c, [
            ("SIZE %s\\f.txt" % SO, "213 10"),
            ("DELE /%s/f.txt" % SO, DONE),
            ("RMD %s\\%s" % (SO, HYO), DONE),
            ("RMD " + SO, DONE),
        ])
        self.assertEqual(os.listdir(os.fsencode(self.root)), [])

    def test_parent_of_names_with_high_second_bytes(self):
        shiryo = "\x8e\x91\x97\xbf"  # two characters, the last second byte 0xBF
        a = "\x82\xa0"                # hiragana A, second byte 0xA0
        c = self.client()
        self.check(c, [
            ("MKD %s\\2024" % shiryo, '257 "\\%s\\2024\\" created.' % shiryo),
            ("CWD %s\\2024" % shiryo, '250 "\\%s\\2024\\" is new CWD.' % shiryo),
            ("CDUP", '250 "\\%s\\" is new CWD.' % shiryo),
            ("CWD 2024\\..\\2024", '250 "\\%s\\2024\\" is new CWD.' % shiryo),
            ("CWD ..\\..", '250 "\\" is new CWD.'),
            ("MKD %s\\b\\..\\c" % a, '257 "\\%s\\c\\" created.' % a),
            ("RMD %s\\b\\..\\c" % a, DONE),
            ("RMD %s\\b" % a, DONE),
            ("RMD " + a, DONE),
            ("RMD %s\\2024" % shiryo, DONE),
            ("RMD " + shiryo, DONE),
        ])
        self.assertEqual(os.listdir(self.root), [])

    def test_lead_bytes_do_not_hide_separators_from_the_checks(self):
        # A directory named by a lone lead byte: a '/' after it is taken as part
        # of the character by the double-byte searches.
        os.makedirs(os.path.join(os.fsencode(self.root), b"\x81"))
        c = self.client()
        self.check(c, [
            ("CWD \x81/../..", NOT_TAKEN),
            ("MKD \x81/../../evil", CANNOT_MAKE),
            ("MKD \x81/..", CANNOT_MAKE),
            ("RMD \x81/../../outside/inner", NOT_TAKEN),
            ("DELE \x81/../../outside/secret", DOTS),
            ("PWD", '257 "\\" is CWD.'),
        ])
        self.assertEqual(os.listdir(os.path.join(os.fsencode(self.root), b"\x81")), [])


class Utf8Test(ServerCase):
    """UTF-8 on the wire, Shift_JIS on disk."""

    CONFIG = {"default-lang": "ja", "utf8-mode": "on"}
    empty_root = True

    def u(self, text):
        return text.encode("utf-8").decode("latin-1")

    def test_names_convert_both_ways(self):
        c = self.client()
        self.check(c, [
            (self.u("MKD ソ"), self.u('257 "\\ソ\\" created.')),
            (self.u("CWD ソ"), self.u('250 "\\ソ\\" is new CWD.')),
            ("PWD", self.u('257 "\\ソ\\" is CWD.')),
            (self.u("MKD 表\\表"), self.u('257 "\\ソ\\表\\表\\" created.')),
            ("CDUP", '250 "\\" is new CWD.'),
            (self.u("RMD ソ/表/表"), DONE),
            (self.u("RMD ソ/表"), DONE),
        ])
        self.assertEqual(os.listdir(os.fsencode(self.root)), [b"\x83\x5c"])
        self.assertEqual(c.cmd(self.u("RMD ソ")), DONE)
        # 0x815F is sent to clients as C1 9C and must be understood back.
        os.makedirs(os.path.join(os.fsencode(self.root), b"\x81\x5f"))
        self.assertEqual(c.cmd("CWD \xc1\x9c"), '250 "\\\xc1\x9c\\" is new CWD.')
        self.assertEqual(c.cmd("CDUP"), '250 "\\" is new CWD.')
        self.assertEqual(c.cmd("RMD \xc1\x9c"), DONE)
        self.assertEqual(os.listdir(os.fsencode(self.root)), [])

    def test_undecodable_names_end_the_session(self):
        for line in ("MKD \x85", "MKD ab\xe3\x81", "CWD \xf0\x9f\x98\x80"):
            c = self.client()
            self.assertEqual(c.cmd(line),
                             "500 The character-code that cannot be treated is included.", line)
            self.assertTrue(c.closed(), line)
        self.assertEqual(os.listdir(self.root), [])


if __name__ == "__main__":
    unittest.main()
