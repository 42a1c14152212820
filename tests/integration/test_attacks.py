"""Replays of attacks on the server and its tools, one class per fault that an
attack run found: each test does what the attacker did and checks that the
server now holds.

Loopback only (127.0.0.1, and 127.0.0.2 as a second address); every wait is
bounded, every process started is stopped by its PID.
"""
import os
import shutil
import socket
import stat
import subprocess
import threading
import time
import unittest

import torva_harness as h
from torva_harness import read, write

LIB = os.environ.get("TORVA_LIB") or os.path.join(h.BIN, "..", "lib")
USER = ("eve", "pw")
GREETING = "220 Torva Server is ready."
SYNTAX = "501 Syntax error in parameters or arguments."
NOT_TAKEN = "550 Requested action not taken."
CANNOT_OPEN_FILE = "450 I/O error. (cannot open the file)"
CLOSING = "226 Closing data connection."
SEND_ERROR = "451 Requested action aborted. (send error)"
TOO_MANY = "421 Too many connections from your address."


def pasv_port(reply):
    assert reply.startswith("227 Entering Passive Mode ("), reply
    f = [int(x) for x in reply[reply.index("(") + 1:reply.index(")")].split(",")]
    return f[4] * 256 + f[5]


def connect_from(source, port, timeout=10):
    s = socket.socket()
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def as_root():
    return os.geteuid() == 0


class ServerCase(h.ServerCase):
    """A user whose top directory is the instance's root, and an `outside`
    directory next to it that no session may reach."""
    USERS = [USER]

    @classmethod
    def prepare_file(cls, inst):
        cls.outside = os.path.join(inst.dir, "outside")
        os.makedirs(cls.outside)

    def path(self, *parts):
        return os.path.join(self.inst.root, *parts)

    def session(self, timeout=20):
        c = self.greeted(timeout=timeout)
        c.login(*USER)
        return c

    def passive(self, c, source="127.0.0.1"):
        return connect_from(source, pasv_port(c.cmd("PASV")), timeout=20)

    def retr(self, c, name):
        s = self.passive(c)
        c.send("RETR %s\r\n" % name)
        first = c.reply()
        data = h.recv_all(s) if first.startswith("150") else b""
        s.close()
        return first, data, (c.reply() if first.startswith("150") else first)

    def stor(self, c, name, data, command="STOR", pause=0):
        """(first reply, last reply) of an upload; with `pause` the data goes
        in two halves with that many seconds between them."""
        s = self.passive(c)
        c.send("%s %s\r\n" % (command, name))
        first = c.reply()
        if first.startswith("150"):
            s.sendall(data[:len(data) // 2])
            time.sleep(pause)
            s.sendall(data[len(data) // 2:])
        s.close()
        return first, (c.reply() if first.startswith("150") else first)


# ---------------------------------------------------------------- fault 1
class DisconnectDirValueTest(unittest.TestCase):
    """The start-up clean-up deleted every plain file of whatever directory
    DisconnectDir named: "/", the current directory for "" or ".", or the
    bytes of a value of another type."""

    def start_with(self, value, type_="REG_SZ"):
        inst = h.Instance()
        self.addCleanup(inst.close)
        # The server runs in inst.dir; these must survive whatever it thinks
        # the disconnect directory is.
        for name in ("C0A8010A.dca", "keep.txt"):
            write(os.path.join(inst.dir, name), b"x")
        inst.reg_set("DisconnectDir", value, type_)
        conf = inst.write_config()
        program, env, kwargs = h.program("torvad"), dict(inst.env), {}
        if as_root():
            # An empty value once meant "/": should the clean-up ever run
            # there again, an unprivileged server can delete nothing. It runs
            # from a copy that it can reach wherever the tree lies.
            own = os.path.join(inst.dir, "bin")
            os.makedirs(own)
            program = shutil.copy(program, own)
            for lib in os.listdir(LIB):
                if lib.endswith(".so"):
                    shutil.copy(os.path.join(LIB, lib), own)
            env["LD_LIBRARY_PATH"] = own
            for d, _, files in os.walk(inst.dir):
                os.chmod(d, 0o777)
                for f in files:
                    os.chmod(os.path.join(d, f), 0o777 if d == own else 0o666)
            kwargs["user"] = 65534
        p = subprocess.run([program, conf], cwd=inst.dir, env=env, capture_output=True,
                           timeout=20, **kwargs)
        return inst, p.returncode, p.stdout.decode("latin-1")

    def test_unusable_values_stop_start_up_and_delete_nothing(self):
        cases = [
            ("", "REG_SZ", "Invalid directory"),
            (".", "REG_SZ", "Invalid directory"),
            ("dclist-relative", "REG_SZ", "Invalid directory"),
            ("46", "REG_DWORD", "Invalid data type"),  # bytes 2e 00 00 00: "."
        ]
        for value, type_, message in cases:
            with self.subTest(value=value, type=type_):
                inst, rc, log = self.start_with(value, type_)
                self.assertEqual(rc, 255, log)
                self.assertIn(message, log)
                self.assertIn('"DisconnectDir"', log)
                self.assertNotIn("Deletes", log)
                self.assertNotIn("Torva server is started.", log)
                for name in ("C0A8010A.dca", "keep.txt"):
                    self.assertTrue(os.path.exists(os.path.join(inst.dir, name)), name)

    def test_binary_value_without_nul(self):
        inst = h.Instance()
        self.addCleanup(inst.close)
        write(os.path.join(inst.dir, "C0A8010A.dca"), b"x")
        # The value's bytes spell the directory that holds the sibling file.
        inst.reg_set("DisconnectDir", inst.dir.encode().hex(), "REG_BINARY")
        rc = inst.start(expect_failure=True)
        self.assertEqual(rc, 255, inst.log())
        self.assertIn('Invalid data type was defined in the registry "DisconnectDir". (3)',
                      inst.log())
        self.assertTrue(os.path.exists(os.path.join(inst.dir, "C0A8010A.dca")))

    def test_root_is_refused(self):
        for value in ("/", "//", "/tmp/.."):
            with self.subTest(value=value):
                inst, rc, log = self.start_with(value)
                self.assertEqual(rc, 255, log)
                self.assertIn('Invalid directory was defined in the registry "DisconnectDir".', log)
                self.assertNotIn("Deletes", log)

    def test_directory_commands_refuse_such_values(self):
        inst = h.Instance()
        self.addCleanup(inst.close)
        for cmd, value in (("tvsetban", "DisconnectDir"), ("tvsetusers", "UserDir"),
                           ("tvsetcfg", "ConfigDir")):
            for bad in ("", "relative/dir", "/", "/.."):
                with self.subTest(cmd=cmd, value=bad):
                    r = h.run(cmd, "-d", bad, env=inst.env)
                    self.assertEqual(r.returncode, 255)
                    self.assertEqual(r.stderr,
                                     b"Cannot registed the directory information. (161)\n")
                    shown = h.run(cmd, "-show", env=inst.env)
                    self.assertNotEqual(shown.stdout, bad.encode() + b"\n")
            ok = h.run(cmd, "-d", inst.dir + "/elsewhere", env=inst.env)
            self.assertEqual((ok.returncode, ok.stderr), (0, b""))


# ---------------------------------------------------------------- fault 2
class UserFileModeTest(unittest.TestCase):
    """User files were 0644 in a world-readable directory, and the password
    scramble can be undone by anyone who reads them."""

    def mode(self, path):
        return stat.S_IMODE(os.stat(path).st_mode)

    def test_store_and_tools_make_owner_only_files(self):
        inst = h.Instance()
        self.addCleanup(inst.close)
        os.rmdir(inst.user_dir)
        os.umask(0o022)
        r = h.run("tvsetusers", "-init", env=inst.env)
        self.assertEqual(r.returncode, 0, r)
        users = os.path.join(inst.dir, "users")
        self.assertEqual(self.mode(users), 0o700)
        inst.add_user("alice", "secret")
        self.assertEqual(self.mode(os.path.join(users, "alice")), 0o600)
        # A file an older version left readable is closed by its next change.
        os.chmod(os.path.join(users, "alice"), 0o644)
        r = h.run("tvchuser", "-u", "alice", "-p", "other", env=inst.env)
        self.assertEqual(r.returncode, 0, r)
        self.assertEqual(self.mode(os.path.join(users, "alice")), 0o600)
        # Migrated users likewise.
        legacy = h.SETTINGS_KEY + r"\passwd\bob"
        inst.reg_set("usrdir", inst.root, key=legacy)
        r = h.run("tvmigrate", env=inst.env)
        self.assertEqual(r.returncode, 0, r)
        self.assertIn(b"success.", r.stdout)
        self.assertEqual(self.mode(os.path.join(users, "bob")), 0o600)


# ---------------------------------------------------------------- fault 3
class SymlinkTest(ServerCase):
    """Links planted in a user's tree led out of it, dangling ones too."""

    @classmethod
    def prepare(cls, inst):
        root, out = inst.root, cls.outside
        write(os.path.join(out, "secret.txt"), b"outside secret")
        os.makedirs(os.path.join(out, "emptydir"))
        os.makedirs(os.path.join(root, "sub"))
        write(os.path.join(root, "sub", "inner.txt"), b"inner")
        os.symlink(out, os.path.join(root, "out"))
        os.symlink(os.path.join(out, "secret.txt"), os.path.join(root, "secret.lnk"))
        os.symlink("../outside/created.txt", os.path.join(root, "dangling"))
        os.symlink("sub/inner.txt", os.path.join(root, "inner.lnk"))
        os.symlink("sub", os.path.join(root, "subdir.lnk"))

    def test_links_out_of_the_tree_are_refused(self):
        c = self.session()
        for name in ("secret.lnk", "out/secret.txt", "/out/secret.txt", "sub/../out/secret.txt"):
            with self.subTest(name=name):
                first, data, _ = self.retr(c, name)
                self.assertIn(first, (NOT_TAKEN, '501 The file including ".." cannot be treated.'))
                self.assertEqual(data, b"")
        self.assertEqual(c.cmd("SIZE secret.lnk"), NOT_TAKEN)
        for name in ("dangling", "out/new.txt"):
            with self.subTest(upload=name):
                first, _ = self.stor(c, name, b"planted")
                self.assertEqual(first, NOT_TAKEN)
        self.assertEqual(self.stor(c, "out/secret.txt", b"more", "APPE")[0], NOT_TAKEN)
        self.assertFalse(os.path.exists(os.path.join(self.outside, "created.txt")))
        self.assertFalse(os.path.exists(os.path.join(self.outside, "new.txt")))
        self.assertEqual(c.cmd("DELE out/secret.txt"), NOT_TAKEN)
        self.assertEqual(c.cmd("RNFR secret.lnk"), NOT_TAKEN)
        self.assertTrue(c.cmd("RNFR sub/inner.txt").startswith("350"))
        self.assertEqual(c.cmd("RNTO out/moved.txt"), NOT_TAKEN)
        self.assertEqual(c.cmd("CWD out"), NOT_TAKEN)
        self.assertEqual(c.cmd("CWD /out/emptydir"), NOT_TAKEN)
        self.assertEqual(c.cmd("MKD out/made"), "550 Requested action not taken. (Cannot access)")
        self.assertEqual(c.cmd("RMD out/emptydir"), NOT_TAKEN)
        self.assertEqual(read(os.path.join(self.outside, "secret.txt")), b"outside secret")
        self.assertEqual(sorted(os.listdir(self.outside)), ["emptydir", "secret.txt"])
        self.assertTrue(os.path.exists(self.path("sub", "inner.txt")))

    def test_links_inside_the_tree_keep_working(self):
        c = self.session()
        self.assertEqual(self.retr(c, "inner.lnk")[1:], (b"inner", CLOSING))
        self.assertEqual(c.cmd("CWD subdir.lnk"), '250 "\\subdir.lnk\\" is new CWD.')
        self.assertEqual(self.retr(c, "inner.txt")[1:], (b"inner", CLOSING))

    def test_listing_of_a_directory_swapped_for_a_link(self):
        os.makedirs(self.path("swap"))
        c = self.session()
        self.assertTrue(c.cmd("CWD swap").startswith("250"))
        os.rmdir(self.path("swap"))
        os.symlink(self.outside, self.path("swap"))
        s = self.passive(c)
        c.send("LIST\r\n")
        self.assertEqual(c.reply(), "150 Connected.")
        listing = h.recv_all(s).decode("latin-1")
        s.close()
        self.assertEqual(c.reply(), CLOSING)
        self.assertNotIn("secret.txt", listing)
        self.assertIn("Cannot access. (5)", listing)


class SymlinksAllowedTest(ServerCase):
    CONFIG = {"symlinks-outside": "allow"}

    def test_the_key_restores_following(self):
        write(os.path.join(self.outside, "shared.txt"), b"shared")
        os.symlink(os.path.join(self.outside, "shared.txt"), self.path("shared.lnk"))
        c = self.session()
        self.assertEqual(self.retr(c, "shared.lnk")[1:], (b"shared", CLOSING))
        self.assertIn("symlinks-outside: [allow]", self.inst.log())


# ---------------------------------------------------------------- fault 4
class ConcurrentUploadTest(ServerCase):
    """Two uploads to one file wrote into the same bytes, and both got 226."""

    def test_stalled_upload_and_a_retry(self):
        holder = self.session()
        s = self.passive(holder)
        holder.send("STOR held.bin\r\n")
        self.assertEqual(holder.reply(), "150 Connected.")
        s.sendall(b"A" * 100000)
        other = self.session()
        self.assertEqual(self.stor(other, "held.bin", b"B" * 50)[0], CANNOT_OPEN_FILE)
        self.assertTrue(other.cmd("PWD").startswith("257"))  # the session goes on
        s.sendall(b"A" * 100000)
        s.close()
        self.assertEqual(holder.reply(), CLOSING)
        self.assertEqual(read(self.path("held.bin")), b"A" * 200000)

    def test_three_stors_at_once(self):
        write(self.path("three.bin"), b"old")
        clients = [self.session() for _ in range(3)]
        datas = [self.passive(c) for c in clients]
        for c in clients:
            c.send("STOR three.bin\r\n")
        firsts = [c.reply() for c in clients]
        self.assertEqual(sorted(firsts), sorted(["150 Connected."] + [CANNOT_OPEN_FILE] * 2))
        payloads = [bytes([65 + i]) * 300000 for i in range(3)]
        results = []
        for c, s, first, payload in zip(clients, datas, firsts, payloads):
            if first.startswith("150"):
                s.sendall(payload)
            s.close()
            results.append(c.reply() if first.startswith("150") else first)
        winner = firsts.index("150 Connected.")
        self.assertEqual(results[winner], CLOSING)
        self.assertEqual(read(self.path("three.bin")), payloads[winner])

    def test_concurrent_appends_keep_whole_records(self):
        record = 200000  # several writes of the transfer buffer each
        counts = {}
        errors = []

        def appender(letter):
            try:
                c = self.session()
                done = 0
                for _ in range(6):
                    for _attempt in range(200):
                        # Slow enough that the uploads overlap.
                        first, last = self.stor(c, "log.bin", letter * record, "APPE", 0.05)
                        if last == CLOSING:
                            done += 1
                            break
                        self.assertEqual(first, CANNOT_OPEN_FILE)
                        time.sleep(0.01)
                counts[letter] = done
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(e)

        threads = [threading.Thread(target=appender, args=(bytes([65 + i]),)) for i in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(errors, [])
        data = read(self.path("log.bin"))
        self.assertEqual(len(data), record * sum(counts.values()))
        seen = {}
        for i in range(0, len(data), record):
            chunk = data[i:i + record]
            self.assertEqual(chunk, chunk[:1] * record, "record %d is torn" % (i // record))
            seen[chunk[:1]] = seen.get(chunk[:1], 0) + 1
        self.assertEqual(seen, counts)


# ---------------------------------------------------------------- fault 5
class TrickleTest(ServerCase):
    CONFIG = {"session-timeout": "2", "max-connect-per-host": "2", "failure-limit": "5"}

    def test_a_request_must_be_complete_within_the_timeout(self):
        c = self.greeted(timeout=20)
        start = time.time()
        closed_at = None
        for byte in b"NOOP NOOP NOOP\r\n":
            try:
                c.send(bytes([byte]))
            except OSError:
                closed_at = time.time()
                break
            if c.closed(timeout=0.7):
                closed_at = time.time()
                break
        self.assertIsNotNone(closed_at, "a trickled request kept the session")
        self.assertLess(closed_at - start, 4.0)
        self.assertTrue(self.inst.wait_log("Session timeout. (2sec)"))

    def test_one_address_cannot_hold_every_slot(self):
        failures_before = self.inst.log().count("Adding the failure-list.")
        first = [self.greeted() for _ in range(2)]
        third = h.RawClient(self.inst.port)
        self.addCleanup(third.close)
        self.assertEqual(third.line(), TOO_MANY)
        self.assertTrue(third.closed())
        # Another address is served meanwhile.
        other = h.RawClient.__new__(h.RawClient)
        other.sock, other.buf = connect_from("127.0.0.2", self.inst.port), b""
        self.addCleanup(other.close)
        self.assertEqual(other.reply(), GREETING)
        first[0].cmd("QUIT")
        self.assertTrue(first[0].closed())
        deadline = time.time() + 10
        while True:
            again = h.RawClient(self.inst.port)
            self.addCleanup(again.close)
            line = again.line()
            if line == GREETING or time.time() > deadline:
                break
        self.assertEqual(line, GREETING)
        # The refused connections never were sessions: the one session that
        # ended (without a log-in) is the only failure counted.
        self.assertTrue(self.inst.wait_log("Adding the failure-list."))
        self.assertEqual(self.inst.log().count("Adding the failure-list."), failures_before + 1)
        self.assertIn("max-connect-per-host: [2]", self.inst.log())


# ---------------------------------------------------------------- fault 6
class PassiveQueueTest(ServerCase):
    def test_stray_connections_do_not_delay_the_client(self):
        write(self.path("small.bin"), b"payload")
        c = self.session()
        port = pasv_port(c.cmd("PASV"))
        strays = [connect_from("127.0.0.2", port) for _ in range(2)]
        start = time.time()
        s = connect_from("127.0.0.1", port, timeout=5)
        c.send("RETR small.bin\r\n")
        self.assertEqual(c.reply(), "150 Connected.")
        self.assertEqual(h.recv_all(s), b"payload")
        self.assertEqual(c.reply(), CLOSING)
        self.assertLess(time.time() - start, 1.0)
        s.close()
        for x in strays:
            x.close()


# ---------------------------------------------------------------- fault 7
class LongConfigLineTest(unittest.TestCase):
    def test_the_tail_of_a_long_line_is_no_setting(self):
        forged = "#" + "c" * 1022 + "ready-message=FORGED"
        fits = "#" + "k" * 1022  # exactly the 1023 characters that fit
        with h.Instance(lines=[fits, "delayed-response=0", forged]) as inst:
            inst.start()
            with inst.connect() as c:
                self.assertEqual(c.reply(), GREETING)
            self.assertEqual(inst.log().count("of the configuration is too long and was ignored"), 1)
            numbered = len(inst.config) + 3  # one line per key, then the three above
            self.assertIn("[W] Line %d of the configuration is too long and was ignored." % numbered,
                          inst.log())


# ---------------------------------------------------------------- fault 8
class LineEndInNamesTest(ServerCase):
    # A lead byte hides a CR from the line-end cut once the character check
    # is off.
    CONFIG = {"code-no-check": "on", "default-lang": "ja"}

    def test_names_with_line_ends_or_nul_are_refused(self):
        write(self.path("a\nb"), b"x")
        write(self.path("keep"), b"x")
        c = self.session()
        self.assertEqual(c.cmd("MKD x\x82\r"), "550 Requested action not taken. (Cannot access)")
        self.assertEqual(c.cmd("CWD x\x82\r"), NOT_TAKEN)
        self.assertEqual(c.cmd("DELE a\nb"), SYNTAX)
        self.assertEqual(c.cmd("RNFR a\nb"), SYNTAX)
        self.assertEqual(c.cmd("DELE keep\x00junk"), SYNTAX)
        self.assertEqual(c.cmd("SIZE keep"), "213 1")  # the session goes on
        names = os.listdir(self.inst.root.encode())
        self.assertTrue({b"a\nb", b"keep"} <= set(names))
        self.assertNotIn(b"x\x82\r", names)
        self.assertNotIn("Deleting: ", self.inst.log())

    def test_listing_shows_no_forged_lines(self):
        write(self.path("x\r\n-rw-r--r-- 1 root root 1 Jan 1 2000 forged"), b"x")
        write(self.path("plain.txt"), b"x")
        c = self.session()
        s = self.passive(c)
        c.send("NLST\r\n")
        self.assertEqual(c.reply(), "150 Connected.")
        listing = h.recv_all(s)
        s.close()
        self.assertEqual(c.reply(), CLOSING)
        self.assertNotIn(b"forged", listing)
        self.assertIn(b"plain.txt", listing)


# ---------------------------------------------------------------- fault 9
class UnwrittenBanTest(unittest.TestCase):
    def test_a_ban_that_failed_is_tried_again(self):
        with h.Instance(config={"failure-limit": "2"}) as inst:
            missing = os.path.join(inst.dir, "later")
            inst.reg_set("DisconnectDir", missing)
            inst.config["failure-keep"] = "on"
            inst.start()

            def fail_once():
                with inst.connect() as c:
                    c.reply()
                    c.cmd("QUIT")
                    c.closed()

            def wait_count(n):
                deadline = time.time() + 10
                while time.time() < deadline:
                    if "Failure count of 127.0.0.1: %d" % n in inst.log():
                        return
                    time.sleep(0.02)
                self.fail(inst.log()[-2000:])

            fail_once()
            fail_once()
            wait_count(2)
            self.assertTrue(inst.wait_log("Return value of discon_add="))
            self.assertIn('Cannot create "%s/7F000001.dca"' % missing, inst.log())
            self.assertNotIn("Added to the disconnect list", inst.access_log())
            os.makedirs(missing)
            fail_once()
            wait_count(3)
            deadline = time.time() + 10
            while not os.path.exists(os.path.join(missing, "7F000001.dca")):
                self.assertLess(time.time(), deadline, inst.log()[-2000:])
                time.sleep(0.02)
            self.assertEqual(inst.access_log().count("Added to the disconnect list: 127.0.0.1"), 1)
            c = socket.create_connection(("127.0.0.1", inst.port), timeout=5)
            self.assertEqual(c.recv(100), b"")  # turned away without a word
            c.close()


# ---------------------------------------------------------------- fault 10
class NumberRangeTest(unittest.TestCase):
    def test_ban_commands_refuse_parts_above_255(self):
        inst = h.Instance()
        self.addCleanup(inst.close)
        for cmd in ("tvban", "tvunban"):
            for arg in ("300.1.1.1", "1.2.3.256", "-1.0.0.1", "1.2.3.4294967340"):
                with self.subTest(cmd=cmd, arg=arg):
                    r = h.run(cmd, arg, env=inst.env)
                    self.assertEqual((r.returncode, r.stderr), (1, b"Format error.\n"))
        self.assertEqual(os.listdir(inst.dc_dir), [])

    def test_configuration_refuses_ports_out_of_range(self):
        cases = [({"bind-port": "99999"}, "bind-port=99999 is out of range."),
                 ({"pasv-port": "70000"}, "pasv-port=70000 is out of range."),
                 ({"disconnect": "300.0.0.1"}, "disconnect=300.0.0.1 is out of range.")]
        for config, message in cases:
            with self.subTest(config=config):
                with h.Instance(config=config) as inst:
                    self.assertEqual(inst.start(expect_failure=True), 255, inst.log())
                    self.assertIn(message, inst.log())

    def test_port_refuses_fields_above_255(self):
        with h.Instance(users=[USER]) as inst:
            inst.start()
            with inst.connect() as c:
                c.reply()
                c.login(*USER)
                self.assertEqual(c.cmd("PORT 383,0,0,1,4,1"), SYNTAX)
                self.assertTrue(c.closed())
            self.assertNotIn("Forward port", inst.log())


# ---------------------------------------------------------------- fault 11
class StalledDownloadTest(ServerCase):
    CONFIG = {"session-timeout": "3"}

    def test_one_timeout_without_progress_ends_it(self):
        write(self.path("big.bin"), os.urandom(1 << 20) * 48)
        c = self.session()
        s = self.passive(c)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        c.send("TYPE I\r\nRETR big.bin\r\n")
        self.assertTrue(c.reply().startswith("200"))
        self.assertEqual(c.reply(), "150 Connected.")
        s.recv(1000)  # a little, then nothing more
        start = time.time()
        c.sock.settimeout(30)
        self.assertEqual(c.reply(), SEND_ERROR)
        self.assertLess(time.time() - start, 3 + 1.5)
        s.close()


class StalledTlsDownloadTest(ServerCase):
    CONFIG = {"session-timeout": "3", "auth-mechanism": "TLS"}
    TLS = True

    def test_protected_download_is_bounded_too(self):
        write(self.path("big.bin"), os.urandom(1 << 20) * 48)
        ctx = h.client_tls_context()
        c = self.greeted(timeout=20)
        self.assertTrue(c.cmd("AUTH TLS").startswith("234"))
        c.sock = ctx.wrap_socket(c.sock, server_hostname="localhost")
        c.login(*USER)
        c.cmd("PBSZ 0")
        self.assertTrue(c.cmd("PROT P").startswith("200"))
        self.assertTrue(c.cmd("TYPE I").startswith("200"))
        raw = connect_from("127.0.0.1", pasv_port(c.cmd("PASV")))
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        c.send("RETR big.bin\r\n")
        s = ctx.wrap_socket(raw, server_hostname="localhost")
        self.assertEqual(c.reply(), "150 Connected.")
        s.recv(1000)
        start = time.time()
        c.sock.settimeout(30)
        self.assertEqual(c.reply(), SEND_ERROR)
        self.assertLess(time.time() - start, 3 + 1.5)
        s.close()


# ---------------------------------------------------------------- fault 12
class QuietLogTest(unittest.TestCase):
    def test_a_normal_close_is_no_warning(self):
        with h.Instance() as inst:
            inst.start()
            with inst.connect() as c:
                c.reply()
            self.assertTrue(inst.wait_log("FTP session is closing."))
            self.assertNotIn("Failed recv() errno=0", inst.log())
            self.assertNotIn("Request recv error.", inst.log())

    def test_shutdown_under_load_logs_no_logic_error_or_accept_failure(self):
        for _ in range(4):
            # A zero loop cycle keeps the accept loop busy on the socket that
            # termination closes.
            with h.Instance(config={"loop-cycle-sec": "0", "loop-cycle-usec": "0"}) as inst:
                inst.start()
                stop = threading.Event()

                def hammer():
                    while not stop.is_set():
                        try:
                            s = socket.create_connection(("127.0.0.1", inst.port), timeout=2)
                            s.close()
                        except OSError:
                            pass

                threads = [threading.Thread(target=hammer) for _ in range(8)]
                for t in threads:
                    t.start()
                time.sleep(0.5)
                self.assertEqual(inst.stop(), 0)
                stop.set()
                for t in threads:
                    t.join(10)
                log = inst.log()
                self.assertNotIn("Logic Error!!", log)
                self.assertNotIn("Failed accept()", log)
                self.assertNotIn("Failed select()", log)

    def test_configuration_that_is_no_file(self):
        with h.Instance() as inst:
            fifo = os.path.join(inst.dir, "fifo.conf")
            os.mkfifo(fifo)
            for path in (fifo, inst.dir):
                with self.subTest(path=path):
                    start = time.time()
                    self.assertEqual(inst.start(expect_failure=True, args=[path], timeout=10), 255)
                    self.assertLess(time.time() - start, 5)
                    self.assertIn(path, inst.log())
                    self.assertIn("is not a regular file!", inst.log())

    def test_zero_loop_cycle_does_not_spin(self):
        with h.Instance(config={"loop-cycle-sec": "0", "loop-cycle-usec": "0"}) as inst:
            inst.start()

            def cpu():
                with open("/proc/%d/stat" % inst.proc.pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

            before = cpu()
            time.sleep(1.5)
            self.assertLess(cpu() - before, 0.5)

    def test_unusable_limits_are_warned_about(self):
        with h.Instance(config={"max-connect": "0", "session-timeout": "-1"}) as inst:
            inst.start()
            self.assertIn("[W] max-connect=0: no client will ever be served.", inst.log())
            self.assertIn("[W] session-timeout=-1: every session ends at its first wait for a command.",
                          inst.log())


if __name__ == "__main__":
    unittest.main()
