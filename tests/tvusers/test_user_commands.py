"""The user commands tvmkuser, tvchuser, tvrmuser and tvlsuser, run as processes
against a registry file and a user directory of their own."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest

BIN = os.environ.get("TORVA_BIN") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin")
SETTINGS_KEY = "HKLM\\SOFTWARE\\MORVEK SOFTWARE\\Torva Server"

MKUSER_USAGE = (b"usage:\n"
                b"> tvmkuser -u user_name(max:31byte)\n"
                b"         -p passwd(max:31byte)\n"
                b"         -d directory(max:1023byte)\n"
                b"         [ -w | -r ]\n")
CHUSER_USAGE = (b"usage:\n"
                b"> tvchuser -u user_name(max:31byte)\n"
                b"         [-p passwd(max:31byte)]\n"
                b"         [-d directory(max:1023byte)]\n"
                b"         [ -w | -r ]\n")
RMUSER_USAGE = (b"usage:\n"
                b"> tvrmuser -u user_name(max:31byte)\n")
LIST_HEADER = b"#,UNAME,PASSWD,DIR,ADMIN\n"


class UserCommandCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tvusers_cmd_")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.users = os.path.join(self.root, "users")
        os.mkdir(self.users)
        self.env = dict(os.environ, TORVA_REGISTRY=os.path.join(self.root, "registry.reg"))
        self.set_user_dir(self.users)

    def set_user_dir(self, path):
        r = subprocess.run([os.path.join(BIN, "tvreg"), "add", SETTINGS_KEY, "/v", "UserDir",
                            "/t", "REG_SZ", "/d", path, "/f"],
                           env=self.env, capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)

    def delete_user_dir(self):
        r = subprocess.run([os.path.join(BIN, "tvreg"), "delete", SETTINGS_KEY, "/v", "UserDir",
                            "/f"], env=self.env, capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)

    def run_cmd(self, cmd, *args):
        return subprocess.run([os.path.join(BIN, cmd), *args], env=self.env,
                              capture_output=True, timeout=30)

    def assert_result(self, r, code, stderr=b"", stdout=b""):
        self.assertEqual((r.returncode, r.stderr, r.stdout), (code, stderr, stdout))

    def add(self, *args):
        self.assert_result(self.run_cmd("tvmkuser", *args), 0)

    def raw(self, name):
        with open(os.path.join(self.users, name), "rb") as f:
            return f.read()

    def fields(self, name):
        """admin, vfsize, vinum, maxfs of a user file."""
        return struct.unpack_from("<4i", self.raw(name), 1120)

    def listing(self, *args):
        r = self.run_cmd("tvlsuser", *args)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        return r.stdout

    def entries(self):
        return sorted(os.listdir(self.users))


class MkUserTest(UserCommandCase):
    def test_usage_errors_write_the_usage_text_and_add_nothing(self):
        # The grammar itself is unit-tested with the option parser; these are
        # the cases of this command.
        base = ["-u", "a", "-p", "b", "-d", "c:\\ftp"]
        bad = [
            [],
            base + ["-w", "-r"],
            base + ["-u", "x"],
            ["-u", "a", "-p", "b"],
            ["-u", "a", "-d", "c"],
            ["-p", "b", "-d", "c"],
            base + ["-W"],
            base + ["-s", "-5"],
            ["-u", "n" * 32, "-p", "b", "-d", "c"],
            ["-u", "a", "-p", "p" * 32, "-d", "c"],
            ["-u", "a", "-p", "b", "-d", "d" * 1024],
        ]
        for args in bad:
            with self.subTest(args=[a[:40] for a in args]):
                self.assert_result(self.run_cmd("tvmkuser", *args), 1, MKUSER_USAGE)
        self.assertEqual(self.entries(), [])

    def test_longest_values_are_accepted(self):
        name, pw, home = "n" * 31, "p" * 31, "/" + "d" * 1022
        self.add("-u", name, "-p", pw, "-d", home)
        self.assertEqual(self.listing("-passwd"),
                         LIST_HEADER + b'1,"%s","%s","%s","WRITE"\n'
                         % (name.encode(), pw.encode(), home.encode()))

    def test_defaults_and_numbers(self):
        self.add("-u", "plain", "-p", "pw", "-d", "/srv/plain")
        self.assertEqual(self.fields("plain"), (0, -1, -1, 2147483647))
        # atoi: no digits give 0, digits stop at the first other character,
        # leading blanks and a plus sign are allowed.
        self.add("-u", "nums", "-p", "pw", "-d", "/srv/nums", "-s", "abc", "-i", "  12xyz",
                 "-m", "+0", "-r")
        self.assertEqual(self.fields("nums"), (1, 0, 12, 0))
        self.add("-m", "7", "-i", "8", "-w", "-s", "9", "-d", "/x", "-p", "q", "-u", "order")
        self.assertEqual(self.fields("order"), (0, 9, 8, 7))

    def test_values_are_taken_as_they_stand(self):
        self.add("-u", "-w", "-p", "-r", "-d", "-u")
        self.assertEqual(self.listing("-passwd"), LIST_HEADER + b'1,"-w","-r","-u","WRITE"\n')

    def test_existing_user_is_not_touched(self):
        self.add("-u", "amy", "-p", "first", "-d", "/srv/amy", "-r")
        before = self.raw("amy")
        self.assert_result(self.run_cmd("tvmkuser", "-u", "amy", "-p", "second", "-d", "/x"),
                           2, b"The user has already registered.\n")
        self.assertEqual(self.raw("amy"), before)

    def test_directory_existence_is_not_checked(self):
        self.add("-u", "far", "-p", "pw", "-d", "c:\\ftp\\nowhere")
        self.assertIn(b'"c:\\ftp\\nowhere"', self.listing())


class ChUserTest(UserCommandCase):
    def setUp(self):
        super().setUp()
        self.add("-u", "bob", "-p", "secret", "-d", "/srv/bob", "-s", "5", "-i", "6", "-m", "7")

    def test_usage_errors(self):
        bad = [
            [],
            ["-p", "x"],
            ["-u", "bob", "-s", "1"],        # no numeric options here
            ["-u", "bob", "-w", "-r"],
            ["-u", "bob", "-u", "bob"],
            ["-u", "n" * 32],
        ]
        before = self.raw("bob")
        for args in bad:
            with self.subTest(args=[a[:40] for a in args]):
                self.assert_result(self.run_cmd("tvchuser", *args), 1, CHUSER_USAGE)
        self.assertEqual(self.raw("bob"), before)

    def test_read_only_changes_only_admin(self):
        before = self.raw("bob")
        self.assert_result(self.run_cmd("tvchuser", "-u", "bob", "-r"), 0)
        after = self.raw("bob")
        self.assertEqual(self.fields("bob"), (1, 5, 6, 7))
        self.assertEqual(after[:1120] + after[1124:], before[:1120] + before[1124:])
        self.assert_result(self.run_cmd("tvchuser", "-u", "bob", "-w"), 0)
        self.assertEqual(self.raw("bob"), before)

    def test_password_and_directory(self):
        self.assert_result(self.run_cmd("tvchuser", "-u", "bob", "-p", "p" * 31, "-d", "/new"), 0)
        self.assertEqual(self.listing("-passwd"),
                         LIST_HEADER + b'1,"bob","%s","/new","WRITE"\n' % (b"p" * 31))
        self.assertEqual(self.fields("bob"), (0, 5, 6, 7))
        self.assert_result(self.run_cmd("tvchuser", "-u", "bob", "-p", ""), 0)
        self.assertEqual(self.listing("-passwd"), LIST_HEADER + b'1,"bob","","/new","WRITE"\n')

    def test_only_name_rewrites_unchanged(self):
        before = self.raw("bob")
        self.assert_result(self.run_cmd("tvchuser", "-u", "bob"), 0)
        self.assertEqual(self.raw("bob"), before)

    def test_missing_user(self):
        self.assert_result(self.run_cmd("tvchuser", "-u", "nobody", "-r"), 2,
                           b"The user is not exist.\n")
        self.assertEqual(self.entries(), ["bob"])


class RmUserTest(UserCommandCase):
    def test_usage_errors(self):
        self.add("-u", "a", "-p", "b", "-d", "/a")
        for args in ([], ["-u", "a", "-p", "b"], ["-u"], ["-d", "/a"], ["-u", "n" * 32]):
            with self.subTest(args=args):
                self.assert_result(self.run_cmd("tvrmuser", *args), 1, RMUSER_USAGE)
        self.assertEqual(self.entries(), ["a"])

    def test_delete(self):
        self.add("-u", "a", "-p", "b", "-d", "/a")
        self.add("-u", "keep", "-p", "b", "-d", "/k")
        self.assert_result(self.run_cmd("tvrmuser", "-u", "a"), 0)
        self.assertEqual(self.entries(), ["keep"])
        self.assert_result(self.run_cmd("tvrmuser", "-u", "a"), 2, b"The user doesn't exist.\n")

    def test_foreign_file_is_not_a_user(self):
        with open(os.path.join(self.users, "notes"), "wb") as f:
            f.write(b"x" * 2000)
        self.assert_result(self.run_cmd("tvrmuser", "-u", "notes"), 2,
                           b"The user doesn't exist.\n")
        self.assertEqual(self.entries(), ["notes"])


class LsUserTest(UserCommandCase):
    def test_empty_directory(self):
        os.mkdir(os.path.join(self.users, "subdir"))
        with open(os.path.join(self.users, "junk"), "wb") as f:
            f.write(b"junk")
        for args in ([], ["-passwd"]):
            self.assert_result(self.run_cmd("tvlsuser", *args), 0, b"No entry.\n")

    def test_listing_in_directory_order_masked_and_plain(self):
        users = {
            b"zoe": (b"zpw", b"/home/zoe", "-w"),
            b"al": (b"", b"/home/al", "-r"),
            b'q"uo,te': (b'p,"w', b'/a,"b', "-w"),
            b"\x83\x65\x83\x58": (b"\x82\xa0", b"/home/sjis", "-r"),
        }
        for name, (pw, home, flag) in users.items():
            self.add(b"-u", name, b"-p", pw, b"-d", home, flag)
        order = [n for n in os.listdir(os.fsencode(self.users))]

        def expected(show):
            lines = [LIST_HEADER]
            for i, name in enumerate(order, 1):
                pw, home, flag = users[name]
                lines.append(b'%d,"%s","%s","%s","%s"\n'
                             % (i, name, pw if show else b"????????", home,
                                b"READ" if flag == "-r" else b"WRITE"))
            return b"".join(lines)

        self.assertEqual(self.listing("-passwd"), expected(True))
        self.assertEqual(self.listing("-passwd", "ignored", "-x"), expected(True))
        for args in ([], ["-Passwd"], ["-passwd2"], ["x", "-passwd"], ["-p"]):
            with self.subTest(args=args):
                self.assertEqual(self.listing(*args), expected(False))

    def test_any_admin_but_zero_is_listed_read(self):
        self.add("-u", "two", "-p", "pw", "-d", "/two")
        path = os.path.join(self.users, "two")
        with open(path, "r+b") as f:
            f.seek(1120)
            f.write(struct.pack("<i", 2))
        self.assertEqual(self.listing(), LIST_HEADER + b'1,"two","????????","/two","READ"\n')


class SystemErrorTest(UserCommandCase):
    def check_all(self, code):
        msg = b"System error. (%d)\n" % code
        self.assert_result(self.run_cmd("tvmkuser", "-u", "a", "-p", "b", "-d", "/a"), 255, msg)
        self.assert_result(self.run_cmd("tvchuser", "-u", "a", "-r"), 255,
                           msg + b"Specified user was deleted.\n")
        self.assert_result(self.run_cmd("tvrmuser", "-u", "a"), 255, msg)
        self.assert_result(self.run_cmd("tvlsuser"), 255, msg)
        self.assert_result(self.run_cmd("tvlsuser", "-passwd"), 255, msg)

    def test_missing_user_dir_value(self):
        self.add("-u", "a", "-p", "b", "-d", "/a")
        before = self.raw("a")
        self.delete_user_dir()
        self.check_all(101)
        self.assertEqual(self.raw("a"), before)

    def test_user_dir_of_expand_type(self):
        r = subprocess.run([os.path.join(BIN, "tvreg"), "add", SETTINGS_KEY, "/v", "UserDir",
                            "/t", "REG_EXPAND_SZ", "/d", self.users, "/f"],
                           env=self.env, capture_output=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.check_all(101)

    def test_user_directory_that_does_not_exist(self):
        self.set_user_dir(os.path.join(self.root, "gone"))
        msg = b"System error. (101)\n"
        self.assert_result(self.run_cmd("tvmkuser", "-u", "a", "-p", "b", "-d", "/a"), 255, msg)
        self.assert_result(self.run_cmd("tvlsuser"), 255, msg)
        # Reading a user from a missing directory finds no user.
        self.assert_result(self.run_cmd("tvchuser", "-u", "a"), 2, b"The user is not exist.\n")
        self.assert_result(self.run_cmd("tvrmuser", "-u", "a"), 2, b"The user doesn't exist.\n")
        self.assertFalse(os.path.exists(os.path.join(self.root, "gone")))


if __name__ == "__main__":
    unittest.main()
