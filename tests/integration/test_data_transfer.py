"""Data connections and file transfer against the real server: PORT, PASV,
TYPE, RETR, STOR, APPE and STOU with raw sockets for the exact replies and
their order, and curl, lftp and ftplib for what real clients do with them.

Every class starts its own server; data connections stay on 127.0.0.1 with
ephemeral ports, and every wait is bounded.
"""
import ftplib
import io
import os
import socket
import struct
import subprocess
import threading
import time
import unittest

import torva_harness as h
from torva_harness import read, recv_all, write  # noqa: F401

USER = ("bob", "pw")
BUFFER = int(h.BASE_CONFIG["buffer-size"])

NOT_LOGGED_IN = "530 Not logged in."
SYNTAX = "501 Syntax error in parameters or arguments."
CANT_OPEN = "425 Can't open data connection."
CLOSING = "226 Closing data connection."
PORT_OK = "200 PORT Command okay."
PASV_150 = "150 Connected."
NOT_FOUND = "550 Requested action not taken. (not found)"
CANNOT_ACCESS = "550 Requested action not taken. (cannot access)"
CANNOT_OPEN_FILE = "450 I/O error. (cannot open the file)"
SEND_ERROR = "451 Requested action aborted. (send error)"
RECV_ERROR = "451 Requested action aborted. (recv error)"
NO_PERMISSION = "550 No permission."
DOTS = '501 The file including ".." cannot be treated.'


# ---------------------------------------------------------------- helpers


def pattern(size, seed=0):
    """Bytes that differ at every position (a shifted or dropped chunk shows)."""
    block = bytes((i * 131 + seed) & 0xFF for i in range(251))
    return (block * (size // len(block) + 1))[:size]


def pasv_port(reply):
    assert reply.startswith("227 Entering Passive Mode ("), reply
    inner = reply[reply.index("(") + 1:reply.index(")")]
    f = [int(x) for x in inner.split(",")]
    return "%d.%d.%d.%d" % tuple(f[:4]), f[4] * 256 + f[5]


def login(inst, user=USER, timeout=20):
    c = inst.connect(timeout=timeout)
    assert c.reply().startswith("220")
    c.login(*user)
    return c


def passive(c, source="127.0.0.1"):
    """PASV and the client's connection to the announced port."""
    reply = c.cmd("PASV")
    _, port = pasv_port(reply)
    s = socket.socket()
    s.bind((source, 0))
    s.settimeout(20)
    s.connect(("127.0.0.1", port))
    return s


def active(c):
    """A listening socket and the PORT command that names it."""
    ls = socket.socket()
    ls.bind(("127.0.0.1", 0))
    ls.listen(1)
    ls.settimeout(20)
    port = ls.getsockname()[1]
    reply = c.cmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 0xFF))
    assert reply == PORT_OK, reply
    return ls


def open_data(c, mode):
    """The data socket for the next transfer command: for PASV it is
    connected already; for PORT the server connects once the command runs,
    so a callable accepts it then."""
    if mode == "pasv":
        s = passive(c)
        return lambda: s
    ls = active(c)

    def accept():
        s, _ = ls.accept()
        ls.close()
        return s
    return accept


def download(c, name, mode="pasv"):
    """(first reply, data, final reply) of one RETR."""
    get = open_data(c, mode)
    c.send("RETR %s\r\n" % name)
    s = get()
    first = c.reply()
    data = recv_all(s)
    s.close()
    return first, data, c.reply()


def upload(c, name, data, mode="pasv", command="STOR"):
    get = open_data(c, mode)
    c.send("%s %s\r\n" % (command, name))
    s = get()
    first = c.reply()
    s.sendall(data)
    s.close()
    return first, c.reply()


def open_fds(pid, path):
    """How many descriptors of the process refer to `path`."""
    n = 0
    d = "/proc/%d/fd" % pid
    for fd in os.listdir(d):
        try:
            if os.readlink(os.path.join(d, fd)) == path:
                n += 1
        except OSError:
            pass
    return n


def free_ports(count):
    """`count` consecutive free loopback ports."""
    for _ in range(50):
        base = h.free_port()
        if base + count > 65535:
            continue
        socks = []
        try:
            for p in range(base, base + count):
                s = socket.socket()
                socks.append(s)
                s.bind(("127.0.0.1", p))
            return base
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise AssertionError("no free port range")


def hard_close(s):
    """Closes with a reset instead of an orderly end."""
    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    s.close()


class ServerCase(h.ServerCase):
    USERS = [USER]

    def path(self, *parts):
        return os.path.join(self.inst.root, *parts)

    def session(self, user=USER):
        c = login(self.inst, user)
        self.addCleanup(c.close)
        return c

    def assertEnds(self, c):
        self.assertTrue(c.closed(), "the server kept the session")

    def assertGoesOn(self, c):
        self.assertTrue(c.cmd("PWD").startswith("257"))


# ------------------------------------------------------------------ PASV
class PassiveMode(ServerCase):
    def test_227_then_150_at_the_transfer_command(self):
        write(self.path("p.bin"), b"passive")
        c = self.session()
        reply = c.cmd("PASV")
        addr, port = pasv_port(reply)
        self.assertEqual(addr, "127.0.0.1")
        self.assertEqual(reply, "227 Entering Passive Mode (127,0,0,1,%d,%d)." % (port >> 8, port & 0xFF))
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        # Nothing more arrives until the transfer command: the 150 belongs to it.
        c.sock.settimeout(0.5)
        with self.assertRaises(socket.timeout):
            c.sock.recv(100)
        c.sock.settimeout(10)
        c.send("RETR p.bin\r\n")
        self.assertEqual(c.reply(), PASV_150)
        self.assertEqual(recv_all(s), b"passive")
        self.assertEqual(c.reply(), CLOSING)
        s.close()
        self.assertGoesOn(c)

    def test_each_transfer_needs_its_own_pasv(self):
        write(self.path("twice.bin"), b"x")
        c = self.session()
        first, data, last = download(c, "twice.bin")
        self.assertEqual((first, data, last), (PASV_150, b"x", CLOSING))
        c.send("RETR twice.bin\r\n")
        self.assertEqual(c.reply(), CANT_OPEN)
        self.assertEnds(c)

    def test_connection_from_another_address_is_refused(self):
        write(self.path("steal.bin"), b"secret")
        c = self.session()
        _, port = pasv_port(c.cmd("PASV"))
        thief = socket.socket()
        thief.bind(("127.0.0.2", 0))
        thief.settimeout(10)
        thief.connect(("127.0.0.1", port))
        own = socket.create_connection(("127.0.0.1", port), timeout=10)
        c.send("RETR steal.bin\r\n")
        self.assertEqual(c.reply(), PASV_150)
        self.assertEqual(recv_all(own), b"secret")
        self.assertEqual(c.reply(), CLOSING)
        try:
            self.assertEqual(recv_all(thief, timeout=5), b"")
        except ConnectionResetError:
            pass
        thief.close()
        own.close()
        self.assertTrue(self.inst.wait_log("PASV: Refused the data connection from 127.0.0.2."))

    def test_new_pasv_port_or_user_drops_the_pending_socket(self):
        for follow in ("PASV", "PORT", "USER"):
            with self.subTest(follow=follow):
                c = self.session()
                _, port = pasv_port(c.cmd("PASV"))
                if follow == "PASV":
                    c.cmd("PASV")
                elif follow == "PORT":
                    active(c).close()
                else:
                    self.assertTrue(c.cmd("USER bob").startswith("331"))
                with self.assertRaises(ConnectionRefusedError):
                    socket.create_connection(("127.0.0.1", port), timeout=5)

    def test_not_logged_in(self):
        c = self.inst.connect()
        c.reply()
        self.assertEqual(c.cmd("PASV"), NOT_LOGGED_IN)
        self.assertEnds(c)
        c.close()


class PassiveWait(ServerCase):
    CONFIG = {"pasv-wait": "1"}

    def test_client_that_never_connects(self):
        write(self.path("keep.txt"), b"keep me")
        for command in ("RETR keep.txt", "STOR keep.txt", "LIST"):
            with self.subTest(command=command):
                c = self.session()
                self.assertTrue(c.cmd("PASV").startswith("227 "))
                t0 = time.time()
                self.assertEqual(c.cmd(command), "425 Can't open data connection. (timeout)")
                self.assertGreaterEqual(time.time() - t0, 0.9)
                self.assertEnds(c)
        # The refused upload did not empty the file it named.
        self.assertEqual(read(self.path("keep.txt")), b"keep me")
        self.assertIn("PASV: select() timeout", self.inst.log())


class PassiveAddress(ServerCase):
    CONFIG = {"pasv-addr": "192.168.1.10"}

    def test_configured_address_is_announced(self):
        c = self.session()
        reply = c.cmd("PASV")
        addr, port = pasv_port(reply)
        self.assertEqual(addr, "192.168.1.10")
        self.assertEqual(reply, "227 Entering Passive Mode (192,168,1,10,%d,%d)." % (port >> 8, port & 0xFF))
        # The socket itself listens where it is bound.
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        c.send("NLST\r\n")
        self.assertEqual(c.reply(), PASV_150)
        self.assertTrue(recv_all(s).startswith(b"List of root-directory\r\n"))
        self.assertEqual(c.reply(), CLOSING)
        s.close()


class PassivePortPool(unittest.TestCase):
    def test_busy_ports_are_skipped_until_none_is_left(self):
        base = free_ports(3)
        busy = []
        with h.Instance(config={"pasv-port": "%d-%d" % (base, base + 2)}, users=[USER]) as inst:
            inst.start()
            try:
                for p in (base, base + 1):
                    s = socket.socket()
                    s.bind(("127.0.0.1", p))
                    s.listen(1)
                    busy.append(s)
                first = login(inst)
                _, port = pasv_port(first.cmd("PASV"))
                self.assertEqual(port, base + 2)
                # The first session's pending socket keeps the last port busy.
                c = login(inst)
                self.assertEqual(c.cmd("PASV"), "425 Can't open data connection. (bind)")
                self.assertTrue(c.closed())
                c.close()
                first.close()
                self.assertIn("PASV: Failed bind() errno=10048", inst.log())
            finally:
                for s in busy:
                    s.close()


# ------------------------------------------------------------------ PORT
class ActiveMode(ServerCase):
    def test_port_connects_back_and_names_the_type(self):
        write(self.path("a.bin"), b"active data")
        c = self.session()
        ls = socket.socket()
        ls.bind(("127.0.0.1", 0))
        ls.listen(1)
        port = ls.getsockname()[1]
        self.assertEqual(c.cmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 0xFF)), PORT_OK)
        self.assertTrue(self.inst.wait_log("Forward port: IP=127.0.0.1 / port=%d" % port))
        self.assertIn("PORT: [127,0,0,1,%d,%d]" % (port >> 8, port & 0xFF), self.inst.log())
        c.send("RETR a.bin\r\n")
        ls.settimeout(10)
        s, peer = ls.accept()
        self.assertEqual(peer[0], "127.0.0.1")
        self.assertEqual(c.reply(), "150 Connected. (ASCII mode)")
        self.assertEqual(recv_all(s), b"active data")
        self.assertEqual(c.reply(), CLOSING)
        s.close()
        ls.close()
        c.cmd("TYPE I")
        first, data, last = download(c, "a.bin", "port")
        self.assertEqual((first, data, last), ("150 Connected. (BINARY mode)", b"active data", CLOSING))

    def test_two_transfers_after_one_port(self):
        write(self.path("two.bin"), b"2")
        c = self.session()
        ls = active(c)
        c.send("RETR two.bin\r\n")
        s, _ = ls.accept()
        self.assertEqual(c.reply(), "150 Connected. (ASCII mode)")
        self.assertEqual(recv_all(s), b"2")
        self.assertEqual(c.reply(), CLOSING)
        s.close()
        self.assertEqual(c.cmd("RETR two.bin"), CANT_OPEN)
        self.assertEnds(c)
        ls.close()

    def test_refused_forms_end_the_session(self):
        own = socket.socket()
        own.bind(("127.0.0.1", 0))
        p = own.getsockname()[1]
        own.close()
        cases = [
            ("PORT", SYNTAX),                                   # no argument
            ("PORT 127,0,0,1,4", SYNTAX),                       # five fields
            ("PORT 10,0,0,5,195,80", SYNTAX),                   # another host
            ("PORT 127,0,0,2,195,80", SYNTAX),                  # another address of this host
            ("PORT 127,0,0,1,3,255", SYNTAX),                   # port 1023
            ("PORT 127,0,0,1,0,21", SYNTAX),
        ]
        for command, expected in cases:
            with self.subTest(command=command):
                c = self.session()
                self.assertEqual(c.cmd(command), expected)
                self.assertEnds(c)
        log = self.inst.log()
        self.assertIn("PORT: [10,0,0,5,195,80]", log)
        self.assertNotIn("Forward port: IP=10.0.0.5", log)
        # Nothing listens on a just-freed port: the connection fails with 425.
        c = self.session()
        self.assertEqual(c.cmd("PORT 127,0,0,1,%d,%d" % (p >> 8, p & 0xFF)), PORT_OK)
        self.assertEqual(c.cmd("LIST"), CANT_OPEN)
        self.assertEnds(c)
        self.assertIn("Failed the forward connection.", self.inst.log())

    def test_port_needs_login(self):
        c = self.inst.connect()
        c.reply()
        self.assertEqual(c.cmd("PORT 127,0,0,1,100,100"), NOT_LOGGED_IN)
        self.assertEnds(c)
        c.close()


# ------------------------------------------------------------------ TYPE
class TypeCommand(ServerCase):
    def test_codes(self):
        c = self.session()
        self.assertEqual(c.cmd("TYPE I"), "200 TYPE Command okay. (Type is BINARY)")
        self.assertEqual(c.cmd("TYPE A"), "200 TYPE Command okay. (Type is ASCII)")
        self.assertEqual(c.cmd("TYPE A N"), "200 TYPE Command okay. (Type is ASCII)")
        self.assertEqual(c.cmd("TYPE IMAGE"), "200 TYPE Command okay. (Type is BINARY)")
        for bad in ("TYPE a", "TYPE i", "TYPE E", "TYPE L 8"):
            with self.subTest(bad=bad):
                c = self.session()
                self.assertEqual(c.cmd(bad), "504 Command not implemented for that parameter.")
                self.assertEnds(c)
        c = self.session()
        self.assertEqual(c.cmd("TYPE"), SYNTAX)
        self.assertEnds(c)

    def test_transfer_commands_need_login_and_argument(self):
        for command in ("TYPE I", "RETR x", "STOR x", "STOU x", "APPE x"):
            with self.subTest(command=command):
                c = self.inst.connect()
                self.addCleanup(c.close)
                c.reply()
                self.assertEqual(c.cmd(command), NOT_LOGGED_IN)
                self.assertEnds(c)
        # STOU alone makes up a name (test_client_features).
        for command in ("RETR", "STOR", "APPE"):
            with self.subTest(command=command):
                c = self.session()
                self.assertEqual(c.cmd(command), SYNTAX)
                self.assertEnds(c)


# ------------------------------------------------------------- transfers
class BinaryTransfers(ServerCase):
    def test_sizes_round_trip_byte_for_byte(self):
        c = self.session()
        c.cmd("TYPE I")
        sizes = [0, 1, BUFFER - 1, BUFFER, BUFFER + 1, 3 * BUFFER + 7]
        for mode in ("pasv", "port"):
            for size in sizes:
                with self.subTest(mode=mode, size=size):
                    data = pattern(size, seed=size & 0xFF)
                    write(self.path("src.bin"), data)
                    first, got, last = download(c, "src.bin", mode)
                    self.assertEqual((first, last), (
                        PASV_150 if mode == "pasv" else "150 Connected. (BINARY mode)", CLOSING))
                    self.assertEqual(got, data)
                    first, last = upload(c, "dst.bin", data, mode)
                    self.assertEqual(last, CLOSING)
                    self.assertEqual(read(self.path("dst.bin")), data)

    def test_hundred_mebibytes(self):
        data = pattern(100 << 20, seed=7)
        write(self.path("big.bin"), data)
        c = self.session()
        c.cmd("TYPE I")
        first, got, last = download(c, "big.bin")
        self.assertEqual((first, last), (PASV_150, CLOSING))
        self.assertTrue(got == data, "download differs")
        first, last = upload(c, "big-up.bin", data)
        self.assertEqual((first, last), (PASV_150, CLOSING))
        self.assertTrue(read(self.path("big-up.bin")) == data, "upload differs")
        os.unlink(self.path("big.bin"))
        os.unlink(self.path("big-up.bin"))

    def test_stor_replaces_appe_appends_and_creates(self):
        c = self.session()
        c.cmd("TYPE I")
        write(self.path("r.bin"), b"old content that is longer")
        self.assertEqual(upload(c, "r.bin", b"new")[1], CLOSING)
        self.assertEqual(read(self.path("r.bin")), b"new")
        self.assertEqual(upload(c, "r.bin", b"+more", command="APPE")[1], CLOSING)
        self.assertEqual(read(self.path("r.bin")), b"new+more")
        self.assertEqual(upload(c, "fresh.bin", b"first", command="APPE")[1], CLOSING)
        self.assertEqual(read(self.path("fresh.bin")), b"first")
        # An empty upload leaves an empty file.
        self.assertEqual(upload(c, "r.bin", b"")[1], CLOSING)
        self.assertEqual(read(self.path("r.bin")), b"")
        self.assertIn("Receiving: %s" % self.path("r.bin"), self.inst.log())

    def test_stou_names_the_stored_file(self):
        os.makedirs(self.path("docs", "sub"), exist_ok=True)
        write(self.path("u.txt"), b"kept")
        c = self.session()
        c.cmd("TYPE I")
        # STOU never replaces a file: a taken name gets the first free suffix.
        self.assertEqual(upload(c, "u.txt", b"one", command="STOU"),
                         (PASV_150, '226 "\\u.txt.1" was generated.'))
        self.assertEqual(read(self.path("u.txt")), b"kept")
        self.assertEqual(read(self.path("u.txt.1")), b"one")
        self.assertTrue(c.cmd("CWD docs").startswith("250"))
        self.assertEqual(upload(c, "u.txt", b"two", command="STOU")[1],
                         '226 "docs\\u.txt" was generated.')
        self.assertEqual(upload(c, "sub/v.txt", b"three", command="STOU")[1],
                         '226 "docs\\sub\\v.txt" was generated.')
        self.assertEqual(read(self.path("docs", "u.txt")), b"two")
        self.assertEqual(read(self.path("docs", "sub", "v.txt")), b"three")


class TextTransfers(ServerCase):
    def test_download_in_ascii(self):
        # Text files here end their lines with LF; the wire carries CR LF.
        # Line ends that are CR LF already stay, and no byte ends the text.
        cases = [
            (b"l1\nl2\n", b"l1\r\nl2\r\n"),
            (b"l1\r\nl2\r\n", b"l1\r\nl2\r\n"),
            (b"lone\rcr\r\n\r", b"lone\rcr\r\n\r"),
            (b"before\n\x1aafter\n", b"before\r\n\x1aafter\r\n"),
            (b"mid\x1aline", b"mid\x1aline"),
            (b"a\x00b\nnext\n\x00\nlast", b"a\x00b\r\nnext\r\n\x00\r\nlast"),
            (b"\n\n", b"\r\n\r\n"),
            (b"", b""),
        ]
        c = self.session()
        for mode in ("pasv", "port"):
            for content, expected in cases:
                with self.subTest(mode=mode, content=content):
                    write(self.path("t.txt"), content)
                    first, got, last = download(c, "t.txt", mode)
                    self.assertEqual(got, expected)
                    self.assertEqual(last, CLOSING)
                    self.assertEqual(first, PASV_150 if mode == "pasv" else "150 Connected. (ASCII mode)")

    def test_lines_longer_than_the_buffer(self):
        line = pattern(3 * BUFFER).replace(b"\r", b"r").replace(b"\n", b"n").replace(b"\x00", b"0").replace(b"\x1a", b"z")
        write(self.path("long.txt"), line + b"\n" + line + b"\n")
        c = self.session()
        self.assertEqual(download(c, "long.txt")[1], line + b"\r\n" + line + b"\r\n")
        # Line ends on every block boundary come out whole.
        lines = b"\n" * (3 * BUFFER)
        write(self.path("ends.txt"), lines)
        self.assertEqual(download(c, "ends.txt")[1], b"\r\n" * (3 * BUFFER))

    def test_upload_in_ascii(self):
        # CR LF from the wire is stored as LF, the line end of text files
        # here; other CRs and every other byte stay.
        cases = [
            (b"a\nb\n", b"a\nb\n"),
            (b"a\r\nb\r\n", b"a\nb\n"),
            (b"lone\rcr\r\r\n", b"lone\rcr\r\n"),
            (b"zero\x00and\x1akept\r\n", b"zero\x00and\x1akept\n"),
            (b"\r\r\r", b"\r\r\r"),
        ]
        c = self.session()
        for content, expected in cases:
            with self.subTest(content=content):
                self.assertEqual(upload(c, "in.txt", content)[1], CLOSING)
                self.assertEqual(read(self.path("in.txt")), expected)
        write(self.path("log.txt"), b"one\n")
        self.assertEqual(upload(c, "log.txt", b"two\r\n", command="APPE")[1], CLOSING)
        self.assertEqual(read(self.path("log.txt")), b"one\ntwo\n")
        # Line ends split across receives come out the same.
        big = b"x\r\n" * (BUFFER // 2) + b"y\n" * BUFFER
        self.assertEqual(upload(c, "big.txt", big)[1], CLOSING)
        self.assertEqual(read(self.path("big.txt")), b"x\n" * (BUFFER // 2) + b"y\n" * BUFFER)


class RefusedTransfers(ServerCase):
    USERS = [USER, ("reader", "pw", None, True)]

    def test_retr_of_what_cannot_be_sent(self):
        os.makedirs(self.path("adir"), exist_ok=True)
        fifo = self.path("pipe")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        c = self.session()
        s = passive(c)
        self.assertEqual(c.cmd("RETR missing.bin"), NOT_FOUND)
        self.assertIn("Cannot open. (2)", self.inst.log())
        self.assertEqual(c.cmd("RETR adir"), CANNOT_ACCESS)
        t0 = time.time()
        self.assertEqual(c.cmd("RETR pipe"), CANNOT_ACCESS)
        self.assertLess(time.time() - t0, 3)
        self.assertEqual(c.cmd("RETR a..b"), DOTS)
        # The passive connection is still there for the next transfer.
        write(self.path("ok.bin"), b"ok")
        c.send("RETR ok.bin\r\n")
        self.assertEqual(c.reply(), PASV_150)
        self.assertEqual(recv_all(s), b"ok")
        self.assertEqual(c.reply(), CLOSING)
        s.close()

    def test_upload_targets_that_are_refused(self):
        os.makedirs(self.path("updir"), exist_ok=True)
        fifo = self.path("upipe")
        if not os.path.exists(fifo):
            os.mkfifo(fifo)
        c = self.session()
        # (STOU stores beside a taken name: test_client_features.)
        for command in ("STOR updir", "APPE updir"):
            self.assertEqual(c.cmd(command), CANNOT_OPEN_FILE)
        t0 = time.time()
        self.assertEqual(c.cmd("STOR upipe"), CANNOT_OPEN_FILE)
        self.assertLess(time.time() - t0, 3)
        self.assertTrue(os.path.isdir(self.path("updir")))
        self.assertTrue(os.path.exists(fifo) and not os.path.isfile(fifo))
        log = self.inst.log()
        self.assertIn("Cannot open. (specified the device or pipe)", log)
        self.assertIn("Cannot open. (5)", log)
        self.assertEqual(c.cmd("STOR x..y"), DOTS)
        self.assertEqual(c.cmd("STOR nodir/file"), CANNOT_OPEN_FILE)
        self.assertGoesOn(c)

    def test_read_only_user_may_download_only(self):
        write(self.path("pub.bin"), b"public")
        c = self.session(("reader", "pw"))
        for command in ("STOR new.bin", "APPE pub.bin", "STOU new.bin"):
            self.assertEqual(c.cmd(command), NO_PERMISSION)
        self.assertFalse(os.path.exists(self.path("new.bin")))
        self.assertEqual(read(self.path("pub.bin")), b"public")
        c.cmd("TYPE I")
        self.assertEqual(download(c, "pub.bin")[1:], (b"public", CLOSING))

    def test_without_data_connection_nothing_is_destroyed(self):
        write(self.path("precious.bin"), b"precious")
        pid = self.inst.proc.pid
        for command in ("RETR precious.bin", "STOR precious.bin", "STOU precious.bin"):
            with self.subTest(command=command):
                c = self.session()
                self.assertEqual(c.cmd(command), CANT_OPEN)
                self.assertEnds(c)
                self.assertEqual(read(self.path("precious.bin")), b"precious")
        # The file opened for each command is closed again.
        deadline = time.time() + 5
        while open_fds(pid, self.path("precious.bin")) and time.time() < deadline:
            time.sleep(0.05)
        self.assertEqual(open_fds(pid, self.path("precious.bin")), 0)


class StalledClients(ServerCase):
    CONFIG = {"session-timeout": "2"}

    def test_download_to_a_client_that_stops_reading(self):
        write(self.path("stall.bin"), pattern(64 << 20))
        write(self.path("stall.txt"), b"a line of text\r\n" * (4 << 20))
        for type_, name in (("I", "stall.bin"), ("A", "stall.txt")):
            with self.subTest(type=type_):
                c = self.session()
                c.cmd("TYPE " + type_)
                s = passive(c)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                c.send("RETR %s\r\n" % name)
                self.assertEqual(c.reply(), PASV_150)
                t0 = time.time()
                c.sock.settimeout(30)
                self.assertEqual(c.reply(), SEND_ERROR)
                self.assertGreater(time.time() - t0, 1.5)
                self.assertEnds(c)
                s.close()

    def test_upload_from_a_client_that_stops_sending(self):
        c = self.session()
        s = passive(c)
        c.send("STOR stalled.bin\r\n")
        self.assertEqual(c.reply(), PASV_150)
        s.sendall(b"partial")
        t0 = time.time()
        c.sock.settimeout(30)
        self.assertEqual(c.reply(), RECV_ERROR)
        self.assertGreater(time.time() - t0, 1.5)
        self.assertEnds(c)
        s.close()
        self.assertEqual(read(self.path("stalled.bin")), b"partial")


class VanishingClients(ServerCase):
    def test_client_gone_during_download_leaves_others_served(self):
        write(self.path("large.bin"), pattern(64 << 20))
        c = self.session()
        c.cmd("TYPE I")
        s = passive(c)
        c.send("RETR large.bin\r\n")
        self.assertEqual(c.reply(), PASV_150)
        s.recv(65536)
        hard_close(s)
        hard_close(c.sock)
        self.assertTrue(self.inst.wait_log("Failed send() errno="))
        other = self.session()
        other.cmd("TYPE I")
        write(self.path("small.bin"), b"still here")
        self.assertEqual(download(other, "small.bin")[1:], (b"still here", CLOSING))
        self.assertIsNone(self.inst.proc.poll())

    def test_upload_cut_short_keeps_what_arrived(self):
        data = pattern(1 << 20, seed=3)
        # An orderly end: everything sent is stored and the upload completes.
        c = self.session()
        c.cmd("TYPE I")
        s = passive(c)
        c.send("STOR cut1.bin\r\n")
        self.assertEqual(c.reply(), PASV_150)
        s.sendall(data[:300000])
        s.shutdown(socket.SHUT_WR)
        self.assertEqual(c.reply(), CLOSING)
        s.close()
        self.assertEqual(read(self.path("cut1.bin")), data[:300000])
        # A reset after the bytes have arrived: they stay, the upload fails.
        c = self.session()
        c.cmd("TYPE I")
        s = passive(c)
        c.send("STOR cut2.bin\r\n")
        self.assertEqual(c.reply(), PASV_150)
        s.sendall(data)
        deadline = time.time() + 10
        while os.path.getsize(self.path("cut2.bin")) < len(data) and time.time() < deadline:
            time.sleep(0.02)
        hard_close(s)
        self.assertEqual(c.reply(), RECV_ERROR)
        self.assertEnds(c)
        self.assertEqual(read(self.path("cut2.bin")), data)


# ---------------------------------------------------------- real clients
class RealClients(ServerCase):
    CONFIG = {"list-type-NLST": "nameonly"}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.data = pattern(3 * BUFFER + 11, seed=9)
        write(os.path.join(cls.inst.root, "real.bin"), cls.data)
        write(os.path.join(cls.inst.root, "text.txt"), b"one\r\ntwo\r\n")
        cls.local = os.path.join(cls.inst.dir, "local")
        os.makedirs(cls.local)

    def url(self, name=""):
        return "ftp://127.0.0.1:%d/%s" % (self.inst.port, name)

    def curl(self, *args):
        r = subprocess.run(["curl", "-sS", "--max-time", "60", "-u", "%s:%s" % USER, *args],
                           capture_output=True, timeout=90)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout

    def test_curl_passive_and_active(self):
        for mode in (["--disable-epsv"], ["-P", "127.0.0.1"]):
            with self.subTest(mode=mode[0]):
                self.assertEqual(self.curl(*mode, self.url("real.bin")), self.data)
                src = os.path.join(self.local, "up.bin")
                write(src, self.data[::-1])
                self.curl(*mode, "-T", src, self.url("curl-up.bin"))
                self.assertEqual(read(self.path("curl-up.bin")), self.data[::-1])
                self.curl(*mode, "--append", "-T", src, self.url("curl-up.bin"))
                self.assertEqual(read(self.path("curl-up.bin")), self.data[::-1] * 2)
                # curl turns the CR LF of ASCII listings into LF.
                listing = self.curl(*mode, self.url()).decode().splitlines()
                self.assertEqual(listing[0], "List of root-directory")
                self.assertTrue(any(line.endswith(" real.bin") for line in listing), listing)
                names = self.curl(*mode, "-l", self.url()).decode().splitlines()
                self.assertEqual(names[0], "List of root-directory")
                for name in (".", "..", "real.bin", "text.txt"):
                    self.assertIn(name, names)
                # ASCII download (;type=a) turns the file's CR LF into LF.
                self.assertEqual(self.curl(*mode, self.url("text.txt;type=a")), b"one\ntwo\n")

    def test_lftp_passive_and_active(self):
        for passive_mode in ("on", "off"):
            with self.subTest(passive=passive_mode):
                got = os.path.join(self.local, "lftp-%s.bin" % passive_mode)
                src = os.path.join(self.local, "lftp-src.bin")
                write(src, self.data[1:])
                script = ("set ftp:passive-mode %s; set net:max-retries 1; set net:timeout 20; "
                          "get real.bin -o %s; put %s -o lftp-%s.bin; ls; bye"
                          % (passive_mode, got, src, passive_mode))
                r = subprocess.run(["lftp", "-u", "%s,%s" % USER, "-e", script,
                                    "127.0.0.1:%d" % self.inst.port],
                                   capture_output=True, timeout=90, stdin=subprocess.DEVNULL)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(read(got), self.data)
                self.assertEqual(read(self.path("lftp-%s.bin" % passive_mode)), self.data[1:])
                self.assertIn(b"real.bin", r.stdout)

    def test_ftplib_passive_and_active(self):
        for pasv in (True, False):
            with self.subTest(pasv=pasv):
                f = ftplib.FTP()
                f.connect("127.0.0.1", self.inst.port, timeout=20)
                f.login(*USER)
                f.set_pasv(pasv)
                buf = io.BytesIO()
                self.assertEqual(f.retrbinary("RETR real.bin", buf.write), CLOSING)
                self.assertEqual(buf.getvalue(), self.data)
                f.storbinary("STOR ftplib.bin", io.BytesIO(self.data[:-5]))
                self.assertEqual(read(self.path("ftplib.bin")), self.data[:-5])
                f.storbinary("APPE ftplib.bin", io.BytesIO(b"tail"))
                self.assertEqual(read(self.path("ftplib.bin")), self.data[:-5] + b"tail")
                lines = []
                f.retrlines("RETR text.txt", lines.append)
                self.assertEqual(lines, ["one", "two"])
                f.storlines("STOR lines.txt", io.BytesIO(b"a\nb\n"))
                self.assertEqual(read(self.path("lines.txt")), b"a\nb\n")
                self.assertIn("real.bin", f.nlst())
                listing = []
                f.dir(listing.append)
                self.assertEqual(listing[0], "List of root-directory")
                f.quit()


if __name__ == "__main__":
    unittest.main()
