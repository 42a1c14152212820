"""Administration commands run as processes: the disconnect list (tvban,
tvunban, tvlsban), the directory values (tvsetusers, tvsetcfg, tvsetban), the
configuration generator (tvgencfg with the shipped templates) and the
migration of legacy registry users (tvmigrate).

Every test has its own registry store (TORVA_REGISTRY) and directories, and
checks standard output, standard error and the exit code exactly.
"""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

BIN = os.environ.get("TORVA_BIN", os.path.join(os.path.dirname(__file__), "../../build/bin"))
SOURCE = os.environ.get("TORVA_SOURCE", os.path.join(os.path.dirname(__file__), "../.."))

SETTINGS = r"HKLM\SOFTWARE\MORVEK SOFTWARE\Torva Server"
LEGACY = SETTINGS + r"\passwd"
HEADER = b"*** Torva Server User ***\0"


class AdminCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tvadmin-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.regdir = os.path.join(self.tmp, "reg")
        os.mkdir(self.regdir)
        self.env = dict(os.environ, TORVA_REGISTRY=os.path.join(self.regdir, "store.reg"))

    # -- processes and the registry ---------------------------------------

    def run_cmd(self, name, *args, cwd=None):
        p = subprocess.run([os.path.join(BIN, name), *args], env=self.env, cwd=cwd or self.tmp,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")

    def expect(self, name, args, rc, out="", err=""):
        self.assertEqual(self.run_cmd(name, *args), (rc, out, err), f"{name} {args}")

    def reg(self, *args):
        rc, out, err = self.run_cmd("tvreg", *args)
        return rc, out

    def reg_set(self, name, data, type_="REG_SZ", key=SETTINGS):
        rc, out = self.reg("add", key, "/v", name, "/t", type_, "/d", data, "/f")
        self.assertEqual(rc, 0, out)

    def reg_key(self, key):
        rc, out = self.reg("add", key, "/f")
        self.assertEqual(rc, 0, out)

    def reg_get(self, name, key=SETTINGS):
        """(type, data) of a value as tvreg shows it, or None when absent."""
        rc, out = self.reg("query", key, "/v", name)
        if rc != 0:
            return None
        for line in out.splitlines():
            parts = line.strip().split("    ")
            if len(parts) >= 2 and parts[0] == name:
                return parts[1], (parts[2] if len(parts) > 2 else "")
        self.fail(f"unexpected tvreg output: {out!r}")

    def key_exists(self, key):
        return self.reg("query", key)[0] == 0

    def store_bytes(self):
        try:
            with open(self.env["TORVA_REGISTRY"], "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def make_registry_read_only(self):
        # A directory without write bits makes the store read-only, even for root.
        os.chmod(self.regdir, 0o555)
        self.addCleanup(os.chmod, self.regdir, 0o755)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)


# ---------------------------------------------------------------------------
# Disconnect list
# ---------------------------------------------------------------------------

class DisconnectListTest(AdminCase):
    def setUp(self):
        super().setUp()
        self.dc = self.path("dclist")
        os.mkdir(self.dc)
        self.reg_set("DisconnectDir", self.dc)

    def files(self):
        return sorted(os.listdir(self.dc))

    def listing(self):
        """Runs tvlsban and returns (rc, [(number, address)], closing line)."""
        rc, out, err = self.run_cmd("tvlsban")
        self.assertEqual(err, "")
        lines = out.split("\n")
        self.assertEqual(lines[-1], "", "output ends with a line feed")
        lines = lines[:-1]
        if lines[0] != "List of disconnects:":
            self.assertEqual(lines, ["Does not exist."])
            return rc, [], lines[0]
        entries = []
        for line in lines[1:-1]:
            m = re.fullmatch(r" \((\d+)\) (\d+\.\d+\.\d+\.\d+)", line)
            self.assertIsNotNone(m, line)
            entries.append((int(m.group(1)), m.group(2)))
        self.assertEqual([n for n, _ in entries], list(range(1, len(entries) + 1)))
        return rc, entries, lines[-1]

    def test_usage_without_address(self):
        self.expect("tvban", [], 1, out="usage:\n> tvban address\n")
        self.expect("tvunban", [], 1, out="usage:\n> tvunban address\n")
        self.assertEqual(self.files(), [])

    def test_fewer_than_three_dots_is_a_format_error(self):
        for cmd in ("tvban", "tvunban"):
            for arg in ("10.0.0", "10", "", "1..2", ".."):
                self.expect(cmd, [arg], 1, err="Format error.\n")
        self.assertEqual(self.files(), [])
        # The address is checked before the registry is consulted.
        os.remove(self.env["TORVA_REGISTRY"])
        self.expect("tvban", ["10.0.0"], 1, err="Format error.\n")

    def test_ban_names_the_file_by_the_address_bytes(self):
        cases = {
            "192.168.1.10": "C0A8010A.dca",
            "a.b.c.d": "00000000.dca",        # no digits give 0
            "1.+255.+7. 12x": "01FF070C.dca",  # sign, blanks, trailing junk
            "1.2.3.4.5": "01020304.dca",      # the last part stops at its dot
            "...": "00000000.dca",
        }
        for arg, name in cases.items():
            with self.subTest(arg=arg):
                self.expect("tvban", [arg, "ignored"], 0, err="Added.\n")
                self.assertIn(name, self.files())
                self.assertEqual(os.path.getsize(os.path.join(self.dc, name)), 0)
        self.assertEqual(len(self.files()), len(set(cases.values())))

    def test_ban_again_succeeds_and_empties_the_file(self):
        target = os.path.join(self.dc, "0A000001.dca")
        self.expect("tvban", ["10.0.0.1"], 0, err="Added.\n")
        with open(target, "w") as f:
            f.write("left over")
        self.expect("tvban", ["10.0.0.1"], 0, err="Added.\n")
        self.assertEqual(os.path.getsize(target), 0)

    def test_ban_into_missing_directory_fails(self):
        self.reg_set("DisconnectDir", self.path("nowhere"))
        rc, out, err = self.run_cmd("tvban", "10.0.0.1")
        self.assertEqual((rc, out), (255, ""))
        m = re.fullmatch(r"Cannot added\. \((\d+)\)\n", err)
        self.assertIsNotNone(m, err)
        self.assertIn(int(m.group(1)), (2, 3))  # file or path not found
        self.assertFalse(os.path.exists(self.path("nowhere")))

    def test_unban_deletes_and_reports_missing_address(self):
        self.expect("tvban", ["1.2.3.44"], 0, err="Added.\n")
        self.expect("tvban", ["10.0.0.1"], 0, err="Added.\n")
        self.expect("tvunban", ["1.2.3.44"], 0, err="Deleted.\n")
        self.assertEqual(self.files(), ["0A000001.dca"])
        self.expect("tvunban", ["1.2.3.44"], 0, err="Does not exist.\n")
        self.expect("tvunban", ["172.16.0.1"], 0, err="Does not exist.\n")
        self.assertEqual(self.files(), ["0A000001.dca"])

    def test_unban_leaves_a_directory_alone(self):
        os.mkdir(os.path.join(self.dc, "0A000001.dca"))
        self.expect("tvunban", ["10.0.0.1"], 0, err="Does not exist.\n")
        self.assertTrue(os.path.isdir(os.path.join(self.dc, "0A000001.dca")))

    def test_list_shows_banned_addresses(self):
        self.expect("tvban", ["192.168.1.10"], 0, err="Added.\n")
        self.expect("tvban", ["10.0.0.1"], 0, err="Added.\n")
        self.expect("tvban", ["1.2.3.44"], 0, err="Added.\n")
        rc, entries, last = self.listing()
        self.assertEqual((rc, last), (0, "Done."))
        self.assertEqual(sorted(a for _, a in entries), ["1.2.3.44", "10.0.0.1", "192.168.1.10"])

    def test_list_exact_output_for_one_entry(self):
        open(os.path.join(self.dc, "C0A8010A.dca"), "w").close()
        self.expect("tvlsban", ["ignored"], 0,
                    out="List of disconnects:\n (1) 192.168.1.10\nDone.\n")

    def test_list_decodes_only_upper_case_hex(self):
        for name in ("c0a8010a.dca", "1Z2Y3X4W.dca", "FFFFFFFF.dca"):
            open(os.path.join(self.dc, name), "w").close()
        rc, entries, last = self.listing()
        self.assertEqual((rc, last), (0, "Done."))
        self.assertEqual(sorted(a for _, a in entries), ["0.8.1.0", "16.32.48.64", "255.255.255.255"])

    def test_list_skips_directories_and_other_name_lengths(self):
        for name in ("junk.dca", "C0A8010A0.dca", "C0A8010.dca"):
            open(os.path.join(self.dc, name), "w").close()
        os.mkdir(os.path.join(self.dc, "0A0B0C0D.dca"))
        self.expect("tvlsban", [], 0, out="Does not exist.\n")
        open(os.path.join(self.dc, "01020304.dca"), "w").close()
        self.expect("tvlsban", [], 0, out="List of disconnects:\n (1) 1.2.3.4\nDone.\n")

    def test_list_without_any_disconnect_file(self):
        self.expect("tvlsban", [], 2, out="Does not exist.\n")
        open(os.path.join(self.dc, "C0A8010A.txt"), "w").close()
        self.expect("tvlsban", [], 2, out="Does not exist.\n")
        self.reg_set("DisconnectDir", self.path("nowhere"))
        self.expect("tvlsban", [], 2, out="Does not exist.\n")

    def test_missing_directory_value(self):
        self.assertEqual(self.reg("delete", SETTINGS, "/v", "DisconnectDir", "/f")[0], 0)
        msg = 'Cannot query the registry "DisconnectDir". (2)\n'
        self.expect("tvban", ["10.0.0.1"], 255, err=msg)
        self.expect("tvunban", ["10.0.0.1"], 255, err=msg)
        self.expect("tvlsban", [], 255, err=msg)
        self.assertEqual(self.files(), [])

    def test_directory_value_that_does_not_fit(self):
        self.reg_set("DisconnectDir", "/" + "d" * 1100)
        msg = 'Cannot query the registry "DisconnectDir". (234)\n'
        self.expect("tvban", ["10.0.0.1"], 255, err=msg)
        self.expect("tvunban", ["10.0.0.1"], 255, err=msg)
        # tvlsban reads into 4096 bytes, so the same value fits there.
        self.expect("tvlsban", [], 2, out="Does not exist.\n")

    def test_registry_that_cannot_be_opened(self):
        os.remove(self.env["TORVA_REGISTRY"])  # the key must be created, which fails
        self.make_registry_read_only()
        msg = "Cannot open registory. (5)\n"
        self.expect("tvban", ["10.0.0.1"], 255, err=msg)
        self.expect("tvunban", ["10.0.0.1"], 255, err=msg)
        # tvlsban only reads: it creates nothing and names the missing file.
        self.expect("tvlsban", [], 255,
                    err='The registry file "%s" does not exist.\n'
                        'Cannot query the registry "DisconnectDir". (2)\n'
                        % self.env["TORVA_REGISTRY"])


# ---------------------------------------------------------------------------
# Directory values
# ---------------------------------------------------------------------------

DIR_COMMANDS = {
    "tvsetusers": ("UserDir", "users"),
    "tvsetcfg": ("ConfigDir", "conf"),
    "tvsetban": ("DisconnectDir", "dclist"),
}


class DirectoryCommandsTest(AdminCase):
    def usage(self, cmd):
        return f"usage:\n> {cmd} {{ -show | -d directory | -setup | -init }}\n"

    def each(self):
        for cmd, (value, sub) in DIR_COMMANDS.items():
            with self.subTest(cmd=cmd):
                yield cmd, value, sub

    def test_usage_without_arguments_does_not_touch_the_registry(self):
        for cmd, _, _ in self.each():
            self.expect(cmd, [], 1, out=self.usage(cmd))
        self.assertIsNone(self.store_bytes())

    def test_unknown_and_incomplete_options_give_usage(self):
        self.reg_set("Path", "/srv/torva", "REG_EXPAND_SZ")
        for cmd, value, _ in self.each():
            for args in (["-SHOW"], ["-Show"], ["-INIT"], ["-D", "/x"], ["show"], ["-d"],
                         ["-show2"], ["--init"]):
                self.expect(cmd, args, 1, out=self.usage(cmd))
            self.assertIsNone(self.reg_get(value))

    def test_set_and_show(self):
        for cmd, value, _ in self.each():
            d = f"/var/lib/torva/{value} dir"
            self.expect(cmd, ["-d", d, "ignored"], 0)
            self.assertEqual(self.reg_get(value), ("REG_SZ", d))
            self.expect(cmd, ["-show", "ignored"], 0, out=d + "\n")
        # Stored as a plain string with one terminating NUL counted in its size.
        self.assertIn(b'"UserDir"="/var/lib/torva/UserDir dir"\n', self.store_bytes())
        # -d neither checks nor creates the directory.
        self.assertFalse(os.path.exists("/var/lib/torva/UserDir dir"))

    def test_show_missing_value(self):
        self.reg_set("Path", "/srv/torva")
        for cmd, value, _ in self.each():
            self.expect(cmd, ["-show"], 255, err=f'Cannot query the registry "{value}". (2)\n')

    def test_show_refuses_other_types(self):
        for cmd, value, _ in self.each():
            self.reg_set(value, "/srv/%TEMP%", "REG_EXPAND_SZ")
            self.expect(cmd, ["-show"], 255,
                        err=f'Invalid data type was defined in the registry "{value}". (2)\n')
            self.reg_set(value, "1", "REG_DWORD")
            self.expect(cmd, ["-show"], 255,
                        err=f'Invalid data type was defined in the registry "{value}". (4)\n')

    def test_setup_fills_in_an_absent_value_from_path(self):
        self.reg_set("Path", "/srv/torva", "REG_EXPAND_SZ")  # the type of Path is not checked
        for cmd, value, sub in self.each():
            self.expect(cmd, ["-setup"], 0)
            self.assertEqual(self.reg_get(value), ("REG_SZ", "/srv/torva/" + sub))

    def test_setup_keeps_a_present_value_of_any_type(self):
        self.reg_set("Path", "/srv/torva")
        self.reg_set("UserDir", "/home/ftp")
        self.reg_set("ConfigDir", "/etc/%X%", "REG_EXPAND_SZ")
        self.reg_set("DisconnectDir", "/" + "d" * 2000)  # too long for the buffer
        before = self.store_bytes()
        for cmd, _, _ in self.each():
            self.expect(cmd, ["-setup"], 0)
        self.assertEqual(self.store_bytes(), before)
        # ... also when Path is missing, since it is not needed then.
        self.assertEqual(self.reg("delete", SETTINGS, "/v", "Path", "/f")[0], 0)
        for cmd, _, _ in self.each():
            self.expect(cmd, ["-setup"], 0)

    def test_init_replaces_the_value(self):
        self.reg_set("Path", "/opt/torva")
        for cmd, value, sub in self.each():
            self.reg_set(value, "/old", "REG_EXPAND_SZ")
            self.expect(cmd, ["-init"], 0)
            self.assertEqual(self.reg_get(value), ("REG_SZ", "/opt/torva/" + sub))

    def test_path_missing(self):
        for cmd, value, _ in self.each():
            msg = 'Cannot query the registry "Path". (2)\n'
            self.expect(cmd, ["-init"], 255, err=msg)
            self.expect(cmd, ["-setup"], 255, err=msg)
            self.assertIsNone(self.reg_get(value))

    def test_path_too_long_for_the_default(self):
        self.reg_set("Path", "/" + "p" * 1017)  # 1018 bytes: fits alone, not with "/dclist"
        self.expect("tvsetban", ["-init"], 255,
                    err="Cannot registed the directory information. (206)\n")
        self.assertIsNone(self.reg_get("DisconnectDir"))
        self.expect("tvsetcfg", ["-init"], 0)  # "/conf" still fits into 1024 bytes
        self.assertEqual(self.reg_get("ConfigDir"), ("REG_SZ", "/" + "p" * 1017 + "/conf"))

    def test_registry_that_cannot_be_opened(self):
        self.reg_set("Path", "/srv/torva")
        self.reg_set("UserDir", "/home/ftp")
        self.make_registry_read_only()
        for cmd, value, _ in self.each():
            for args in (["-init"], ["-d", "/x"]):
                self.expect(cmd, args, 255, err="Cannot open registory. (5)\n")
            # -show only reads, which a read-only registry allows.
            if value == "UserDir":
                self.expect(cmd, ["-show"], 0, out="/home/ftp\n")
            else:
                self.expect(cmd, ["-show"], 255,
                            err=f'Cannot query the registry "{value}". (2)\n')


# ---------------------------------------------------------------------------
# Configuration generator
# ---------------------------------------------------------------------------

class GenCfgCase(AdminCase):
    def setUp(self):
        super().setUp()
        self.inst = self.path("inst")
        self.conf = os.path.join(self.inst, "conf")
        os.makedirs(self.conf)
        self.reg_set("Path", self.inst, "REG_EXPAND_SZ")

    def write(self, name, data, mode="w"):
        with open(os.path.join(self.conf, name), mode) as f:
            f.write(data)

    def read(self, name, mode="r"):
        with open(os.path.join(self.conf, name), mode) as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(os.path.join(self.conf, name))


class GenCfgTest(GenCfgCase):
    def setUp(self):
        super().setUp()
        self.write("torvad.conf.$", "# for $INSTPATH$\nname=$INSTPATH$/conf\n"
                   "a=$INSTPATH$;b=$INSTPATH$\nplain=1\nlast=$INSTPATH$")
        self.write("openssl.conf.$", "dir = $INSTPATH$/conf\n")

    def test_generates_both_files(self):
        i = self.inst
        self.expect("tvgencfg", [], 0)
        self.assertEqual(self.read("torvad.conf"),
                         f"# for {i}\nname={i}/conf\na={i};b=$INSTPATH$\nplain=1\nlast={i}")
        self.assertEqual(self.read("openssl.conf"), f"dir = {i}/conf\n")

    def test_keeps_existing_files(self):
        self.write("torvad.conf", "edited\n")
        self.write("openssl.conf", "edited too\n")
        self.expect("tvgencfg", [], 0)
        self.expect("tvgencfg", ["REMOVE"], 0)  # the word is case-sensitive
        self.assertEqual(self.read("torvad.conf"), "edited\n")
        self.assertEqual(self.read("openssl.conf"), "edited too\n")

    def test_generates_only_the_missing_file(self):
        self.write("torvad.conf", "edited\n")
        self.expect("tvgencfg", ["something"], 0)
        self.assertEqual(self.read("torvad.conf"), "edited\n")
        self.assertEqual(self.read("openssl.conf"), f"dir = {self.inst}/conf\n")

    def test_remove_regenerates_both(self):
        self.write("torvad.conf", "edited\n" * 100)
        self.write("openssl.conf", "edited too\n")
        self.expect("tvgencfg", ["remove", "extra"], 0)
        i = self.inst
        self.assertEqual(self.read("torvad.conf"),
                         f"# for {i}\nname={i}/conf\na={i};b=$INSTPATH$\nplain=1\nlast={i}")
        self.assertEqual(self.read("openssl.conf"), f"dir = {self.inst}/conf\n")

    def test_path_is_inserted_verbatim(self):
        # A Windows-style path goes in unchanged; here it names a relative
        # directory below the working directory.
        win = "C:\\srv\\Torva $x"
        os.makedirs(self.path(win, "conf"))
        with open(self.path(win, "conf", "torvad.conf.$"), "w") as f:
            f.write("name=$INSTPATH$\\conf\n")
        self.reg_set("Path", win)
        self.expect("tvgencfg", [], 0)
        with open(self.path(win, "conf", "torvad.conf")) as f:
            self.assertEqual(f.read(), "name=C:\\srv\\Torva $x\\conf\n")
        self.assertFalse(self.exists("torvad.conf"))

    def test_long_lines_are_handled_in_pieces(self):
        i = self.inst
        lines = [
            "a" * 4095 + "$INSTPATH$\n",       # the placeholder starts the second piece
            "b" * 4090 + "$INSTPATH$x\n",      # split across two pieces: stays
            "c" * 9000 + "\n",                 # no placeholder: copied unchanged
            "d" * 4085 + "$INSTPATH$$INSTPATH$\n",  # one in each piece: both replaced
            "e" * 10 + "$INSTPATH$" * 3 + "\n",      # one piece: only the first
        ]
        self.write("torvad.conf.$", "".join(lines))
        self.expect("tvgencfg", [], 0)
        expected = ["a" * 4095 + i + "\n", lines[1], lines[2], "d" * 4085 + i + i + "\n",
                    "e" * 10 + i + "$INSTPATH$" * 2 + "\n"]
        self.assertEqual(self.read("torvad.conf"), "".join(expected))

    def test_config_dir_does_not_move_the_targets(self):
        other = self.path("etc")
        os.mkdir(other)
        self.reg_set("ConfigDir", other)
        self.expect("tvgencfg", [], 0)
        self.assertEqual(os.listdir(other), [])
        self.assertTrue(self.exists("torvad.conf"))

    def test_missing_template_leaves_the_target_alone(self):
        os.remove(os.path.join(self.conf, "openssl.conf.$"))
        self.expect("tvgencfg", [], 0)
        self.assertTrue(self.exists("torvad.conf"))
        self.assertFalse(self.exists("openssl.conf"))  # a later run can still generate it
        self.write("openssl.conf", "edited\n")
        self.expect("tvgencfg", ["remove"], 0)
        self.assertEqual(self.read("openssl.conf"), "edited\n")
        self.write("openssl.conf.$", "new\n")
        self.expect("tvgencfg", ["remove"], 0)
        self.assertEqual(self.read("openssl.conf"), "new\n")

    def test_missing_conf_directory(self):
        shutil.rmtree(self.conf)
        self.expect("tvgencfg", [], 0)
        self.assertFalse(os.path.exists(self.conf))

    def test_path_missing_generates_nothing(self):
        self.assertEqual(self.reg("delete", SETTINGS, "/v", "Path", "/f")[0], 0)
        self.expect("tvgencfg", [], 255)
        self.expect("tvgencfg", ["remove"], 255)
        self.assertEqual(sorted(os.listdir(self.conf)), ["openssl.conf.$", "torvad.conf.$"])

    def test_settings_key_missing_generates_nothing(self):
        os.remove(self.env["TORVA_REGISTRY"])
        self.expect("tvgencfg", [], 255)
        self.assertIsNone(self.store_bytes())  # opened for reading only: nothing created
        self.assertEqual(sorted(os.listdir(self.conf)), ["openssl.conf.$", "torvad.conf.$"])

    def test_path_too_long_for_its_buffer(self):
        self.reg_set("Path", self.inst + "/" + "x" * 300)
        self.expect("tvgencfg", [], 255)

    def test_works_with_a_read_only_registry(self):
        self.make_registry_read_only()
        self.expect("tvgencfg", [], 0)
        self.assertTrue(self.exists("torvad.conf") and self.exists("openssl.conf"))


# Every key that the server understands, to catch misspelt keys in the template.
SERVER_KEYS = {
    "log-level", "access-command", "access-command2", "transfer-command", "service-command",
    "ignore-command", "buffer-size", "bind-host", "bind-port", "socket-protocol",
    "socket-domain", "socket-type", "socket-backlog", "retry-seconds", "time-flag",
    "loop-cycle-sec", "loop-cycle-usec", "max-connect", "session-timeout", "dump-log",
    "access-log2", "unknown-command", "ready-message", "dir-separator", "pasv-wait",
    "pasv-port", "auth-mechanism", "ssl-detail-log", "implicit-flag", "list-type-unix",
    "disconnect", "anonymous", "anonymous-path", "anonymous-pass", "anonymous-write",
    "delayed-response", "failure-limit", "pasv-bind", "pasv-addr", "code-no-check",
    "no-list-dir", "list-type-NLST", "list-type-LIST", "utf8-mode", "default-lang",
    "utf8-ctrl-only", "opts-impl-UTF8", "SIZE-msg-compat", "failure-keep",
    "require-tls", "tls13", "require-ssl-reuse", "failure-needs-password", "sjis-table", "run-as",
    "max-connect-per-host", "symlinks-outside",
    "enable-command", "list-standard", "feat-utf8",
}
# Keys that take one entry per line.
LIST_KEYS = {"pasv-port", "disconnect", "ignore-command", "enable-command"}

SHIPPED_SETTINGS = {
    "bind-host": "::", "bind-port": "21", "socket-domain": "AF_INET6",
    "socket-type": "SOCK_STREAM", "socket-protocol": "tcp", "socket-backlog": "512",
    "dir-separator": "/", "pasv-port": "50000-50099", "max-connect": "300",
    "session-timeout": "300", "buffer-size": "262144", "retry-seconds": "5",
    "loop-cycle-sec": "1", "loop-cycle-usec": "0", "failure-limit": "5", "log-level": "3",
    "time-flag": "on", "utf8-mode": "on", "default-lang": "en", "opts-impl-UTF8": "on",
    "list-type-NLST": "nameonly", "pasv-wait": "10", "delayed-response": "0",
    "max-connect-per-host": "20",
    # Production settings: FTPS required, the extensions switched on.
    "auth-mechanism": "TLS", "require-tls": "on", "tls13": "on", "require-ssl-reuse": "on",
    "failure-needs-password": "on", "sjis-table": "cp932", "run-as": "torva",
    "list-standard": "on", "feat-utf8": "on",
}


def parse_server_config(text):
    """Reads key=value lines as the server does: '#' in the first column is a
    comment, lines without '=' are ignored, blanks and tabs are trimmed."""
    entries = []
    for line in text.split("\n"):
        if line.startswith("#") or "=" not in line:
            continue
        key, value = line.split("=", 1)
        entries.append((key.strip(" \t"), value.split("\r")[0].strip(" \t")))
    return entries


class ShippedTemplatesTest(GenCfgCase):
    def setUp(self):
        super().setUp()
        for name in ("torvad.conf.$", "openssl.conf.$"):
            shutil.copy(os.path.join(SOURCE, "conf", name), self.conf)
        self.expect("tvgencfg", [], 0)

    def test_server_configuration(self):
        text = self.read("torvad.conf")
        self.assertNotIn("$INSTPATH$", text)
        self.assertIn(f"#anonymous-path={self.inst}/pub\n", text)
        entries = parse_server_config(text)
        keys = [k for k, _ in entries]
        self.assertEqual(set(keys) - SERVER_KEYS, set(), "unknown keys")
        single = [k for k in keys if k not in LIST_KEYS]
        self.assertEqual(len(single), len(set(single)), "a key is set twice")
        # Every client feature is switched on.
        self.assertEqual(sorted(v for k, v in entries if k == "enable-command"),
                         sorted(["REST", "MDTM", "MFMT", "MLSD", "MLST", "EPSV", "EPRT", "ABOR",
                                 "ALLO", "MODE", "STRU"]))
        settings = dict(entries)
        for key, value in SHIPPED_SETTINGS.items():
            with self.subTest(key=key):
                self.assertEqual(settings.get(key), value)
        self.assertNotEqual(settings.get("anonymous"), "enable")
        self.assertNotIn("symlinks-outside", settings)  # the safe value is its absence
        self.assertIn("#symlinks-outside=allow\n", text)
        for line in text.split("\n"):
            if line.strip().startswith("#"):
                self.assertTrue(line.startswith("#"), f"indented comment: {line!r}")
        # Each setting (or group of settings) has a comment for the administrator above it.
        lines = text.split("\n")
        for n, line in enumerate(lines):
            if line and not line.startswith("#"):
                above = n - 1
                while lines[above] and not lines[above].startswith("#"):
                    above -= 1
                self.assertTrue(lines[above].startswith("#"), f"uncommented: {line!r}")
        # The comment above default-lang tells when to choose ja.
        n = lines.index("default-lang=en")
        start = n
        while lines[start - 1].startswith("#"):
            start -= 1
        advice = "\n".join(lines[start:n])
        for word in ("ja", "en", "Shift_JIS", "Windows", "UTF-8"):
            self.assertIn(word, advice)

    @unittest.skipUnless(shutil.which("openssl"), "openssl not installed")
    def test_openssl_configuration_makes_the_certificate(self):
        text = self.read("openssl.conf")
        command = ("openssl req -x509 -new -nodes -config openssl.conf -keyout private.pem "
                   "-out csr.pem -days 825")
        self.assertIn("#   " + command + "\n", text)
        self.assertIn(f"{self.inst}/conf", text)
        p = subprocess.run(command.split(), cwd=self.conf, capture_output=True, timeout=120,
                           stdin=subprocess.DEVNULL)
        self.assertEqual(p.returncode, 0, p.stderr.decode())
        p = subprocess.run(["openssl", "x509", "-in", "csr.pem", "-noout", "-text"],
                           cwd=self.conf, capture_output=True, text=True, timeout=60)
        self.assertEqual(p.returncode, 0, p.stderr)
        cert = p.stdout
        for part in ("Public-Key: (2048 bit)", "Signature Algorithm: sha256WithRSAEncryption",
                     "Subject: CN = localhost, O = Torva Server",
                     "DNS:localhost, IP Address:127.0.0.1", "TLS Web Server Authentication"):
            self.assertIn(part, cert)
        p = subprocess.run(["openssl", "verify", "-purpose", "sslserver", "-CAfile", "csr.pem",
                            "csr.pem"], cwd=self.conf, capture_output=True, text=True,
                           timeout=60)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        p = subprocess.run(["openssl", "pkey", "-in", "private.pem", "-noout"], cwd=self.conf,
                           capture_output=True, timeout=60)
        self.assertEqual(p.returncode, 0, "unencrypted key")


# ---------------------------------------------------------------------------
# Migration of legacy users
# ---------------------------------------------------------------------------

def user_file(name, passwd=b"", usrdir=b"", admin=0, vfsize=0, vinum=0, maxfs=0):
    return struct.pack("<32s32s32s1024siiiiI", HEADER, name, passwd, usrdir,
                       admin, vfsize, vinum, maxfs, 0)


class MigrateTest(AdminCase):
    def setUp(self):
        super().setUp()
        self.users = self.path("users")
        os.mkdir(self.users)
        self.reg_set("UserDir", self.users)
        self.head = f'Shifts to "{self.users}" from registry.\n'

    def legacy(self, name, **values):
        key = LEGACY + "\\" + name
        self.reg_key(key)
        for value, (type_, data) in values.items():
            self.reg_set(value, data, type_, key=key)

    def user_bytes(self, name):
        with open(os.path.join(self.users, name), "rb") as f:
            return f.read()

    def test_without_legacy_store(self):
        self.assertFalse(self.key_exists(LEGACY))
        self.expect("tvmigrate", ["ignored"], 0, out=self.head)
        self.assertTrue(self.key_exists(LEGACY))
        self.assertEqual(os.listdir(self.users), [])

    def test_user_file_layout(self):
        pw = bytes(range(0xE0, 0x100))  # 32 bytes, copied without scrambling
        self.legacy("alice", passwd=("REG_BINARY", pw.hex()),
                    usrdir=("REG_SZ", "/home/ftp/alice"), admin=("REG_DWORD", "1"),
                    vfsize=("REG_DWORD", "0xffffffff"), vinum=("REG_DWORD", "7"),
                    maxfs=("REG_DWORD", "2147483647"))
        self.expect("tvmigrate", [], 0, out=self.head + 'Shifting "alice" ... success.\n')
        data = self.user_bytes("alice")
        self.assertEqual(len(data), 1140)
        self.assertEqual(data[:32], HEADER + bytes(6))
        self.assertEqual(data, user_file(b"alice", pw, b"/home/ftp/alice", 1, -1, 7, 2147483647))
        self.assertFalse(self.key_exists(LEGACY + r"\alice"))
        self.assertTrue(self.key_exists(LEGACY))

    def test_missing_and_odd_values(self):
        self.legacy("bob")  # no values at all
        self.legacy("carol", admin=("REG_SZ", "1"),          # types are not checked
                    passwd=("REG_BINARY", "41" * 33),         # too long: left zero
                    usrdir=("REG_SZ", "/" + "u" * 1100),      # too long: left zero
                    vinum=("REG_BINARY", "0102"))
        self.expect("tvmigrate", [], 0, out=self.head + 'Shifting "bob" ... success.\n'
                    + 'Shifting "carol" ... success.\n')
        self.assertEqual(self.user_bytes("bob"), user_file(b"bob"))
        self.assertEqual(self.user_bytes("carol"), user_file(b"carol", admin=0x31, vinum=0x0201))

    def test_users_in_enumeration_order(self):
        for name in ("zed", "amy", "max"):
            self.legacy(name, usrdir=("REG_SZ", "/home/" + name))
        self.expect("tvmigrate", [], 0, out=self.head + "".join(
            f'Shifting "{n}" ... success.\n' for n in ("zed", "amy", "max")))
        self.assertEqual(sorted(os.listdir(self.users)), ["amy", "max", "zed"])

    def test_existing_user_file_and_second_run(self):
        self.legacy("alice", usrdir=("REG_SZ", "/a"))
        self.legacy("bob", usrdir=("REG_SZ", "/b"))
        with open(os.path.join(self.users, "bob"), "wb") as f:
            f.write(b"made by hand")
        self.expect("tvmigrate", [], 0, out=self.head + 'Shifting "alice" ... success.\n'
                    + 'Shifting "bob" ... still exist.\n')
        self.assertEqual(self.user_bytes("bob"), b"made by hand")
        self.assertTrue(self.key_exists(LEGACY + r"\bob"))
        self.assertFalse(self.key_exists(LEGACY + r"\alice"))
        self.expect("tvmigrate", [], 0, out=self.head + 'Shifting "bob" ... still exist.\n')
        os.remove(os.path.join(self.users, "bob"))
        self.expect("tvmigrate", [], 0, out=self.head + 'Shifting "bob" ... success.\n')
        self.assertEqual(self.user_bytes("bob"), user_file(b"bob", usrdir=b"/b"))
        self.expect("tvmigrate", [], 0, out=self.head)

    def test_subkey_names_of_32_characters_are_skipped(self):
        long_name, ok_name = "L" * 32, "k" * 31
        self.legacy(long_name, usrdir=("REG_SZ", "/l"))
        self.legacy(ok_name, usrdir=("REG_SZ", "/k"))
        self.expect("tvmigrate", [], 0, out=self.head + f'Shifting "{ok_name}" ... success.\n')
        self.assertEqual(os.listdir(self.users), [ok_name])
        self.assertTrue(self.key_exists(LEGACY + "\\" + long_name))
        self.assertEqual(self.user_bytes(ok_name), user_file(ok_name.encode(), usrdir=b"/k"))

    def test_names_that_are_no_file_names(self):
        for name in ("..", ".", "a/b"):
            self.legacy(name, usrdir=("REG_SZ", "/x"))
        self.legacy("dave")
        self.expect("tvmigrate", [], 0, out=self.head
                    + 'Shifting ".." ... cannot created. (123)\n'
                    + 'Shifting "." ... cannot created. (123)\n'
                    + 'Shifting "a/b" ... cannot created. (123)\n'
                    + 'Shifting "dave" ... success.\n')
        self.assertEqual(os.listdir(self.users), ["dave"])
        self.assertEqual(sorted(os.listdir(self.tmp)), ["reg", "users"])
        for name in ("..", ".", "a/b"):
            self.assertTrue(self.key_exists(LEGACY + "\\" + name), name)

    def test_user_file_cannot_be_created(self):
        self.legacy("alice")
        self.reg_set("UserDir", self.path("missing"))
        rc, out, err = self.run_cmd("tvmigrate")
        self.assertEqual((rc, err), (0, ""))
        m = re.fullmatch(re.escape(f'Shifts to "{self.path("missing")}" from registry.\n'
                                   'Shifting "alice" ... cannot created. (') + r"(\d+)\)\n", out)
        self.assertIsNotNone(m, out)
        self.assertIn(int(m.group(1)), (2, 3))
        self.assertTrue(self.key_exists(LEGACY + r"\alice"))

    def test_directory_in_the_way(self):
        self.legacy("alice")
        os.mkdir(os.path.join(self.users, "alice"))
        self.expect("tvmigrate", [], 0, out=self.head + 'Shifting "alice" ... cannot created. (5)\n')
        self.assertTrue(self.key_exists(LEGACY + r"\alice"))

    def test_user_dir_missing_or_of_wrong_type(self):
        self.legacy("alice", usrdir=("REG_SZ", "/a"))
        before = os.listdir(self.users)
        self.assertEqual(self.reg("delete", SETTINGS, "/v", "UserDir", "/f")[0], 0)
        self.expect("tvmigrate", [], 255, err='Cannot query the registry "UserDir". (2)\n')
        self.reg_set("UserDir", self.users, "REG_EXPAND_SZ")
        self.expect("tvmigrate", [], 255,
                    err='Invalid data type was defined in the registry "UserDir". (2)\n')
        self.assertEqual(os.listdir(self.users), before)
        self.assertTrue(self.key_exists(LEGACY + r"\alice"))

    def test_registry_that_cannot_be_opened(self):
        os.remove(self.env["TORVA_REGISTRY"])
        self.make_registry_read_only()
        self.expect("tvmigrate", [], 255, err="Old user information is not exist. (5)\n")


if __name__ == "__main__":
    unittest.main()
