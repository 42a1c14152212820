"""TLS on the control and data connections, against the real server.

Start-up with certificates and mechanisms, AUTH/PBSZ/PROT, implicit mode,
protected data connections (passive and active, the server always accepting
the handshake), session resumption, close alerts, and clients that misbehave.
"""
import hashlib
import os
import shutil
import socket
import ssl
import time
import unittest

import torva_harness as h

USER = ("alice", "secret")
NEED_RESOURCE = "431 Need some unavailable resource to process security."
NO_SECURITY = "503 Security data exchange has not completed."
DATA_SSL_FAILED = "425 Can't open data connection. (SSL)"


# ---------------------------------------------------------------- helpers
def tls_context(minimum=None, maximum=None):
    ctx = h.client_tls_context()
    if minimum is not None:
        ctx.minimum_version = minimum
    if maximum is not None:
        ctx.maximum_version = maximum
    return ctx


def start_tls(client, ctx=None):
    """Upgrades a RawClient's socket in place (after 234, or for implicit)."""
    client.sock = (ctx or tls_context()).wrap_socket(client.sock)
    return client


def hello_bytes(ctx=None):
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = (ctx or tls_context()).wrap_bio(incoming, outgoing)
    try:
        obj.do_handshake()
    except ssl.SSLWantReadError:
        pass
    data = outgoing.read()
    assert len(data) > 100, data
    return data


def cert_fingerprint(path):
    with open(path) as f:
        der = ssl.PEM_cert_to_DER_cert(f.read())
    return hashlib.sha256(der).hexdigest()


def peer_fingerprint(tls_sock):
    return hashlib.sha256(tls_sock.getpeercert(binary_form=True)).hexdigest()


def pasv_address(reply):
    assert reply.startswith("227 "), reply
    inner = reply[reply.index("(") + 1:reply.index(")")]
    f = [int(x) for x in inner.split(",")]
    return "%d.%d.%d.%d" % tuple(f[:4]), f[4] * 256 + f[5]


def recv_all_tls(data_sock, timeout=20):
    """Reads a protected data connection to its end; fails unless the server
    ended it with a close alert (ragged ends are not suppressed)."""
    data_sock.settimeout(timeout)
    chunks = []
    while True:
        chunk = data_sock.recv(1 << 16)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


class DataChannel:
    """Opens data connections for a RawClient over PASV or PORT."""

    def __init__(self, client, mode):
        self.client = client
        self.mode = mode
        self.listener = None

    def prepare(self):
        if self.mode == "PASV":
            host, port = pasv_address(self.client.cmd("PASV"))
            return lambda: socket.create_connection((host, port), timeout=10)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(10)
        port = self.listener.getsockname()[1]
        reply = self.client.cmd("PORT 127,0,0,1,%d,%d" % (port >> 8, port & 255))
        assert reply.startswith("200"), reply

        def accept():
            s, _ = self.listener.accept()
            self.listener.close()
            s.settimeout(10)
            return s
        return accept


def protected_transfer(client, command, mode, ctx, session=None, upload=None,
                       wait_for_150=False):
    """Runs one transfer command over a protected data connection.

    The client starts the data handshake itself, before or after reading the
    150 reply.

    Returns (data read or None, whether the handshake resumed the session,
    150 line, final reply)."""
    opener = DataChannel(client, mode).prepare()
    raw = None
    if mode == "PASV":
        raw = opener()
    client.send(command + "\r\n")
    if mode == "PORT":
        raw = opener()
    first = None
    if wait_for_150:
        first = client.reply()
    tls = ctx.wrap_socket(raw, session=session, suppress_ragged_eofs=False)
    reused = tls.session_reused
    if first is None:
        first = client.reply()
    data = None
    if upload is not None:
        tls.sendall(upload)
        tls.unwrap()  # our close alert, then the server's
    else:
        data = recv_all_tls(tls)
    tls.close()
    return data, reused, first, client.reply()


class ServerCase(h.ServerCase):
    """One server per class, chosen by CONFIG (auth-mechanism TLS by default),
    with a certificate and a 3 MiB file to move."""
    CONFIG = {"auth-mechanism": "TLS"}
    USERS = [USER]
    TLS = True

    @classmethod
    def prepare_file(cls, inst):
        cls.payload = os.urandom(3 * 1024 * 1024 + 12345)
        with open(os.path.join(inst.root, "blob.bin"), "wb") as f:
            f.write(cls.payload)

    def session(self):
        return self.greeted(timeout=15)

    def protected(self, ctx=None, prot="P"):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        start_tls(c, ctx)
        c.login(*USER)
        self.assertEqual(c.cmd("PBSZ 0"), "200 PBSZ=0")
        if prot is not None:
            self.assertEqual(c.cmd("PROT " + prot)[:3], "504" if prot == "S" else "200")
        self.assertEqual(c.cmd("TYPE I"), "200 TYPE Command okay. (Type is BINARY)")
        return c

    def wait_for_more(self, text, before, timeout=10):
        """Waits until the log holds `text` more often than `before` times."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.inst.log().count(text) > before:
                return True
            time.sleep(0.02)
        return False

    def assert_still_serving(self):
        c = self.session()
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")


# ---------------------------------------------------------------- start-up
class StartupTest(unittest.TestCase):
    def instance(self, **kw):
        inst = h.Instance(users=[USER], **kw)
        self.addCleanup(inst.close)
        return inst

    def test_startup_logs_each_step_in_order(self):
        inst = self.instance(config={"auth-mechanism": "TLS"}, tls=True)
        inst.start()
        log = inst.log()
        steps = ["[I] OpenSSL library is initializing.", "[I] Loading the TLS protocol methods.",
                 "[I] Loading the OpenSSL context.", "[I] Loading csr.pem",
                 "[I] Loading private.pem", "[I] Checking private.pem",
                 "[I] Torva server is started."]
        positions = [log.find(s) for s in steps]
        self.assertNotIn(-1, positions, log)
        self.assertEqual(positions, sorted(positions))
        inst.stop()

    def test_key_of_another_certificate_stops_startup(self):
        inst = self.instance(config={"auth-mechanism": "TLS"}, tls=True)
        other = os.path.join(inst.dir, "other")
        os.makedirs(other)
        h.make_certificate(other)
        shutil.copy(os.path.join(other, "private.pem"), os.path.join(inst.conf_dir, "private.pem"))
        self.assertNotEqual(inst.start(expect_failure=True), 0)
        log = inst.log()
        self.assertIn("[E] SSL_CTX_check_private_key() error.", log)
        self.assertNotIn("Torva server is started.", log)
        self.assertNotIn("Server Socket", log)

    def test_missing_certificate_or_key_stops_startup(self):
        for missing, message in (("csr.pem", "[E] SSL_CTX_use_certificate_file() error."),
                                 ("private.pem", "[E] SSL_CTXuse_PrivateKey_file() error.")):
            with self.subTest(missing=missing):
                inst = self.instance(config={"auth-mechanism": "TLS"}, tls=True)
                os.remove(os.path.join(inst.conf_dir, missing))
                self.assertNotEqual(inst.start(expect_failure=True), 0)
                log = inst.log()
                self.assertIn(message, log)
                self.assertNotIn("Torva server is started.", log)

    def test_ssl3_is_not_offered(self):
        inst = self.instance(config={"auth-mechanism": "SSL3"}, tls=True)
        self.assertNotEqual(inst.start(expect_failure=True), 0)
        log = inst.log()
        self.assertIn("[I] Loading the SSL3 protocol methods.", log)
        self.assertIn("[E] Failed to loading the SSL protocol methods.", log)
        self.assertNotIn("Loading the OpenSSL context.", log)

    def test_certificate_comes_from_config_dir_else_path_conf(self):
        # Two different certificates: one in ConfigDir, one in <Path>/conf.
        for config_dir_set in (True, False):
            with self.subTest(config_dir=config_dir_set):
                reg = None if config_dir_set else {"ConfigDir": None}
                inst = self.instance(config={"auth-mechanism": "TLS"}, registry=reg)
                config_dir = os.path.join(inst.dir, "cfg")
                os.makedirs(config_dir)
                h.make_certificate(config_dir)
                h.make_certificate(inst.conf_dir)  # <Path>/conf
                if config_dir_set:
                    inst.reg_set("ConfigDir", config_dir)
                expected = os.path.join(config_dir if config_dir_set else inst.conf_dir, "csr.pem")
                inst.start()
                c = inst.connect()
                self.addCleanup(c.close)
                c.reply()
                self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
                start_tls(c)
                self.assertEqual(peer_fingerprint(c.sock), cert_fingerprint(expected))
                inst.stop()

    def test_neither_config_dir_nor_path_stops_startup(self):
        inst = self.instance(config={"auth-mechanism": "TLS"},
                             registry={"ConfigDir": None, "Path": None})
        self.assertNotEqual(inst.start(expect_failure=True), 0)
        self.assertIn("[E] Failed RegQueryValueEx() errno=2", inst.log())

    def test_tls_mechanism_allows_exactly_tls12(self):
        inst = self.instance(config={"auth-mechanism": "TLS"}, tls=True)
        inst.start()
        # Clients that offer up to TLS 1.2 or up to TLS 1.3 both get TLS 1.2.
        for maximum in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(maximum=maximum):
                c = inst.connect()
                self.addCleanup(c.close)
                c.reply()
                self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
                start_tls(c, tls_context(maximum=maximum))
                self.assertEqual(c.sock.version(), "TLSv1.2")
                self.assertEqual(c.cmd("NOOP"), "200 Command okay.")
        # A client that speaks only TLS 1.3 is turned away.
        c = inst.connect()
        self.addCleanup(c.close)
        c.reply()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        with self.assertRaises((ssl.SSLError, ConnectionError)):
            start_tls(c, tls_context(minimum=ssl.TLSVersion.TLSv1_3))
        c.close()
        self.assertTrue(inst.wait_log("SSL_accept() error. (ret="))
        inst.stop()

    def test_ssl_mechanism_allows_the_newest_version(self):
        inst = self.instance(config={"auth-mechanism": "SSL"}, tls=True)
        inst.start()
        self.assertIn("[I] Loading the SSL2&3 protocol methods.", inst.log())
        for maximum, version in ((None, "TLSv1.3"), (ssl.TLSVersion.TLSv1_2, "TLSv1.2")):
            with self.subTest(version=version):
                c = inst.connect()
                self.addCleanup(c.close)
                c.reply()
                self.assertEqual(c.cmd("AUTH TLS"), "500 Command unrecognized.")
                self.assertEqual(c.cmd("AUTH SSL"), "234 SSL was recognized.")
                start_tls(c, tls_context(maximum=maximum))
                self.assertEqual(c.sock.version(), version)
                self.assertEqual(c.cmd("NOOP"), "200 Command okay.")
        inst.stop()


# ---------------------------------------------------------------- AUTH PBSZ PROT
class ExplicitTest(ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "code-no-check": "on"}

    def test_auth_protects_every_later_reply(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        start_tls(c)
        self.assertEqual(c.sock.version(), "TLSv1.2")
        c.login(*USER)
        self.assertEqual(c.cmd("PBSZ 1024"), "200 PBSZ=0")
        self.assertEqual(c.cmd("SYST"), "215 Windows_NT")
        self.assertTrue(self.inst.wait_log("[D] Client size=1024"))

    def test_auth_argument_forms(self):
        cases = [("AUTH SSL", "500 Command unrecognized."),
                 ("AUTH tls", "500 Command unrecognized."),
                 ("AUTH KERBEROS_V4", "500 Command unrecognized.")]
        c = self.session()
        for command, reply in cases:
            with self.subTest(command=command):
                self.assertEqual(c.cmd(command), reply)
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")  # still plain, still there
        self.assertEqual(c.cmd("auth TLS-C"), "234 TLS-C was recognized.")
        start_tls(c)
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")

    def test_auth_without_argument_ends_the_session(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH"), "501 Syntax error in parameters or arguments.")
        self.assertTrue(c.closed())

    def test_pbsz_and_prot_need_auth(self):
        for command in ("PROT P", "PBSZ 0", "PROT C"):
            with self.subTest(command=command):
                c = self.session()
                c.login(*USER)
                self.assertEqual(c.cmd(command), NO_SECURITY)
                self.assertTrue(c.closed())

    def test_pbsz_and_prot_without_argument_end_the_session(self):
        for command in ("PBSZ", "PROT"):
            with self.subTest(command=command):
                c = self.session()
                self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
                start_tls(c)
                self.assertEqual(c.cmd(command), "501 Syntax error in parameters or arguments.")
                self.assertTrue(c.closed())

    def test_prot_levels(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        start_tls(c)
        cases = [("PROT P", "200 Protection level=Private"),
                 ("PROT C", "200 Protection level=Clear"),
                 ("PROT Private", "200 Protection level=Private"),
                 ("PROT S", "504 Unknown protection level. (S)"),
                 ("PROT E", "504 Unknown protection level. (E)"),
                 ("PROT p", "504 Unknown protection level. (p)"),
                 ("PROT \x01", "504 Unknown protection level. (?)"),
                 ("PROT ", "504 Unknown protection level. (?)")]
        for command, reply in cases:
            with self.subTest(command=command):
                self.assertEqual(c.cmd(command), reply)
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")

    def test_lines_after_auth_in_the_same_packet_are_dropped(self):
        # Sent in clear before the handshake: an attacker on the path could
        # have put them there. Had they run, the session would be logged in.
        c = self.session()
        c.send("AUTH TLS\r\nUSER %s\r\nPASS %s\r\n" % USER)
        self.assertEqual(c.reply(), "234 TLS was recognized.")
        start_tls(c)
        self.assertEqual(c.cmd("STAT"), "530 Not logged in.")
        self.assertTrue(c.closed())

    def test_quit_ends_with_a_close_alert(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        # Ragged ends not suppressed: the end of the stream reads as b""
        # only after the server's close alert, else it raises.
        c.sock = tls_context().wrap_socket(c.sock, suppress_ragged_eofs=False)
        c.login(*USER)
        self.assertEqual(c.cmd("QUIT"), "221 Service closing control connection.")
        c.sock.settimeout(10)
        self.assertEqual(c.sock.recv(100), b"")

    def test_garbage_instead_of_client_hello(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        c.send(b"USER alice\r\n" + b"\x00" * 200)
        self.assertEqual(c.reply(), NEED_RESOURCE)
        self.assertTrue(c.closed())
        self.assertTrue(self.inst.wait_log("[E] SSL_accept() error. (ret="))
        self.assert_still_serving()

    def test_client_that_leaves_during_the_handshake(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        hello = hello_bytes()
        c.send(hello[: len(hello) // 2])
        c.close()
        self.assert_still_serving()

    def test_plain_command_on_a_protected_channel_ends_the_session(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        raw = socket.socket(fileno=os.dup(c.sock.fileno()))
        self.addCleanup(raw.close)
        start_tls(c)
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")
        failures = self.inst.log().count("[W] Failed SSL_read() (ret=")
        raw.sendall(b"NOOP\r\n")
        # No reply, at most the library's alert record; then the end.
        raw.settimeout(10)
        try:
            while raw.recv(4096):
                pass
        except ConnectionResetError:
            pass
        self.assertTrue(self.wait_for_more("[W] Failed SSL_read() (ret=", failures))
        self.assert_still_serving()

    def test_close_without_alert_ends_only_that_session(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        start_tls(c)
        c.login(*USER)
        ends = self.inst.log().count("Request recv error.")
        c.sock.close()   # closing an SSLSocket sends no alert
        self.assertTrue(self.wait_for_more("Request recv error.", ends))
        self.assert_still_serving()


class DetailLogTest(ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "ssl-detail-log": "on"}

    def test_handshake_is_logged_step_by_step(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        start_tls(c)
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")
        log = self.inst.log()
        self.assertIn("[D] AUTH callback: where=16 / ret=1", log)
        self.assertIn("[D] - SSL_CB_HANDSHAKE_START", log)
        self.assertIn("[D] - SSL_CB_HANDSHAKE_DONE", log)
        self.assertIn("[D] - SSL_CB_LOOP", log)

    def test_failed_handshake_dumps_the_state_and_error_stack(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        # A record that is no handshake message, read to its last byte (bytes
        # left unread would turn the server's close into a reset).
        c.send(b"\x16\x03\x01\x00\x05hello")
        # The library's alert record comes first, then the plain reply.
        self.assertTrue(c.reply().endswith(NEED_RESOURCE))
        self.assertTrue(self.inst.wait_log("[eod]"))
        log = self.inst.log()
        self.assertIn("- status=", log)
        self.assertIn("*** SSL stack dump ***", log)
        dump = log[log.index("*** SSL stack dump ***"):]
        self.assertRegex(dump.splitlines()[1], r"^ - .+@\d+$")


class HandshakeTimeoutTest(ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "session-timeout": "3"}

    def test_stalled_auth_handshake_gives_up(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        started = time.time()
        self.assertEqual(c.reply(), NEED_RESOURCE)
        self.assertLess(time.time() - started, 7)
        self.assertTrue(c.closed())

    def test_trickled_handshake_gives_up_after_the_session_timeout(self):
        # One byte every half second would keep a per-read time-out happy for
        # minutes; the handshake as a whole gets session-timeout seconds.
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        hello = hello_bytes()
        started = time.time()
        closed = False
        for b in hello:
            try:
                c.send(bytes([b]))
            except OSError:
                closed = True
                break
            c.sock.settimeout(0.5)
            try:
                chunk = c.sock.recv(4096)
                c.buf += chunk
                if not chunk or b"\r\n" in c.buf:
                    closed = True
                    break
            except socket.timeout:
                pass
            if time.time() - started > 15:
                break
        self.assertTrue(closed, "handshake still running after %.1fs" % (time.time() - started))
        self.assertLess(time.time() - started, 7)
        c.sock.settimeout(5)
        self.assertEqual(c.reply(), NEED_RESOURCE)

    def test_stalled_data_handshake_gives_up(self):
        c = self.protected()
        host, port = pasv_address(c.cmd("PASV"))
        d = socket.create_connection((host, port), timeout=10)
        self.addCleanup(d.close)
        started = time.time()
        c.send("RETR blob.bin\r\n")
        self.assertEqual(c.reply(), "150 Connected.")
        self.assertEqual(c.reply(), DATA_SSL_FAILED)
        self.assertLess(time.time() - started, 7)
        self.assertTrue(c.closed())


# ---------------------------------------------------------------- implicit
class ImplicitTest(ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "implicit-flag": "on", "session-timeout": "4"}

    def implicit_session(self, ctx=None):
        c = self.inst.connect(timeout=15)
        self.addCleanup(c.close)
        # A second handle on the socket, for what the server sends in clear.
        c.raw = socket.socket(fileno=os.dup(c.sock.fileno()))
        self.addCleanup(c.raw.close)
        start_tls(c, ctx)
        self.assertEqual(c.reply(), "220 Torva Server is ready.")
        return c

    def test_greeting_and_commands_come_through_tls(self):
        c = self.implicit_session()
        c.login(*USER)
        self.assertEqual(c.cmd("PBSZ 0"), "200 PBSZ=0")
        self.assertEqual(c.cmd("PROT P"), "200 Protection level=Private")
        self.assertEqual(c.cmd("TYPE I"), "200 TYPE Command okay. (Type is BINARY)")
        data, reused, first, last = protected_transfer(c, "RETR blob.bin", "PASV", tls_context())
        self.assertEqual(data, self.payload)
        self.assertEqual((first, last), ("150 Connected.", "226 Closing data connection."))
        # AUTH drops the implicit session: its 234 comes in clear, then a new
        # handshake follows on the same connection.
        c.send("AUTH TLS\r\n")
        c.raw.settimeout(10)
        self.assertEqual(c.raw.recv(100), b"234 TLS was recognized.\r\n")
        c.buf = b""
        c.sock = tls_context().wrap_socket(c.raw)
        self.assertEqual(c.cmd("PROT P"), "200 Protection level=Private")
        data, _, _, last = protected_transfer(c, "RETR blob.bin", "PASV", tls_context())
        self.assertEqual(data, self.payload)

    def test_silent_client_is_dropped_without_reply(self):
        c = self.inst.connect(timeout=15)
        self.addCleanup(c.close)
        started = time.time()
        self.assertTrue(c.closed(timeout=10))
        self.assertEqual(c.buf, b"")
        self.assertGreater(time.time() - started, 2.5)
        self.assertTrue(self.inst.wait_log("[E] Implicit timeout. (3sec)"))

    def test_plain_client_gets_the_plain_refusal(self):
        c = self.inst.connect(timeout=15)
        self.addCleanup(c.close)
        c.send("USER alice\r\n")
        self.assertEqual(c.reply(), NEED_RESOURCE)
        self.assertTrue(c.closed())
        self.assertTrue(self.inst.wait_log("[E] SSL_accept() error. (iret="))

    def test_half_a_client_hello_then_silence(self):
        c = self.inst.connect(timeout=15)
        self.addCleanup(c.close)
        hello = hello_bytes()
        c.send(hello[:40])
        started = time.time()
        self.assertEqual(c.reply(), NEED_RESOURCE)
        self.assertLess(time.time() - started, 8)
        self.assertTrue(c.closed())
        self.implicit_session()  # the next client is served


class NoContextTest(ServerCase):
    CONFIG = {"implicit-flag": "on"}   # no auth-mechanism: no TLS at all

    def test_implicit_flag_without_tls_starts_plain(self):
        c = self.session()
        c.send("FEAT\r\n")
        self.assertEqual(c.reply_lines(), ["211-Extensions supported:", " SIZE", "211 END"])
        self.assertEqual(c.cmd("AUTH TLS"), "502 Command not implemented for that parameter.")
        self.assertTrue(c.closed())
        self.assertNotIn("OpenSSL library is initializing.", self.inst.log())


# ---------------------------------------------------------------- data connections
class ProtectedDataTest(ServerCase):
    CONFIG = {"auth-mechanism": "TLS", "session-timeout": "10"}

    def check_round_trip(self, mode, wait_for_150):
        c = self.protected()
        ctx = tls_context()
        data, reused, first, last = protected_transfer(c, "RETR blob.bin", mode, ctx,
                                                    wait_for_150=wait_for_150)
        self.assertEqual(data, self.payload)
        expected_150 = "150 Connected." if mode == "PASV" else "150 Connected. (BINARY mode)"
        self.assertEqual(first, expected_150)
        self.assertEqual(last, "226 Closing data connection.")
        name = "up-%s-%d.bin" % (mode, wait_for_150)
        _, _, first, last = protected_transfer(c, "STOR " + name, mode, ctx,
                                               upload=self.payload, wait_for_150=wait_for_150)
        self.assertEqual(last, "226 Closing data connection.")
        with open(os.path.join(self.inst.root, name), "rb") as f:
            self.assertEqual(f.read(), self.payload)
        listing, _, _, last = protected_transfer(c, "LIST", mode, ctx, wait_for_150=wait_for_150)
        self.assertIn(name.encode(), listing)
        self.assertEqual(last, "226 Closing data connection.")
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")

    def test_passive_and_active_the_server_accepts_the_handshake(self):
        for mode in ("PASV", "PORT"):
            for wait in (False, True):
                with self.subTest(mode=mode, client_starts_after_150=wait):
                    self.check_round_trip(mode, wait)

    def test_data_connection_resumes_the_control_session(self):
        for mode in ("PASV", "PORT"):
            with self.subTest(mode=mode):
                ctx = tls_context()
                c = self.protected(ctx)
                session = c.sock.session
                self.assertIsNotNone(session)
                data, reused, _, last = protected_transfer(c, "RETR blob.bin", mode, ctx,
                                                        session=session)
                self.assertTrue(reused)
                self.assertEqual(data, self.payload)
                # And again: the same control session serves every transfer.
                _, reused, _, last = protected_transfer(c, "STOR again.bin", mode, ctx,
                                                     session=session, upload=b"x" * 100000)
                self.assertTrue(reused)
                self.assertEqual(last, "226 Closing data connection.")

    def test_resumption_is_not_required(self):
        c = self.protected()
        data, reused, _, last = protected_transfer(c, "RETR blob.bin", "PASV", tls_context())
        self.assertFalse(reused)
        self.assertEqual(data, self.payload)

    def test_clear_levels_leave_the_data_plain(self):
        for prot in ("C", "S", None):
            with self.subTest(prot=prot):
                c = self.protected(prot=prot)
                host, port = pasv_address(c.cmd("PASV"))
                d = socket.create_connection((host, port), timeout=10)
                c.send("RETR blob.bin\r\n")
                got = bytearray()
                while True:
                    chunk = d.recv(1 << 16)
                    if not chunk:
                        break
                    got += chunk
                d.close()
                self.assertEqual(bytes(got), self.payload)
                self.assertEqual(c.reply(), "150 Connected.")
                self.assertEqual(c.reply(), "226 Closing data connection.")

    def test_login_keeps_the_protection_level(self):
        c = self.session()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        start_tls(c)
        self.assertEqual(c.cmd("PBSZ 0"), "200 PBSZ=0")
        self.assertEqual(c.cmd("PROT P"), "200 Protection level=Private")
        c.login(*USER)
        self.assertEqual(c.cmd("TYPE I"), "200 TYPE Command okay. (Type is BINARY)")
        data, reused, _, _ = protected_transfer(c, "RETR blob.bin", "PASV", tls_context())
        self.assertEqual(data, self.payload)

    def test_failed_data_handshake_ends_the_session(self):
        for mode in ("PASV", "PORT"):
            with self.subTest(mode=mode):
                c = self.protected()
                opener = DataChannel(c, mode).prepare()
                d = opener() if mode == "PASV" else None
                c.send("RETR blob.bin\r\n")
                if d is None:
                    d = opener()
                self.addCleanup(d.close)
                d.sendall(b"GET / HTTP/1.0\r\n\r\n" + b"\x00" * 100)
                self.assertTrue(c.reply().startswith("150 Connected."))
                self.assertEqual(c.reply(), DATA_SSL_FAILED)
                self.assertTrue(c.closed())
                self.assert_still_serving()

    def test_upload_without_close_alert_is_not_taken_as_complete(self):
        c = self.protected()
        host, port = pasv_address(c.cmd("PASV"))
        raw = socket.create_connection((host, port), timeout=10)
        c.send("STOR cut.bin\r\n")
        tls = tls_context().wrap_socket(raw)
        self.assertEqual(c.reply(), "150 Connected.")
        tls.sendall(b"y" * 50000)
        # Close the socket under the TLS session: no close alert.
        fd = tls.detach()
        socket.socket(fileno=fd).close()
        self.assertEqual(c.reply(), "451 Requested action aborted. (recv error)")
        self.assert_still_serving()

    def test_client_that_hangs_up_during_a_download(self):
        # Far more than the socket buffers of both ends can hold.
        with open(os.path.join(self.inst.root, "huge.bin"), "wb") as f:
            f.truncate(512 * 1024 * 1024)
        c = self.protected()
        host, port = pasv_address(c.cmd("PASV"))
        raw = socket.create_connection((host, port), timeout=10)
        c.send("RETR huge.bin\r\n")
        tls = tls_context().wrap_socket(raw)
        self.assertEqual(c.reply(), "150 Connected.")
        tls.recv(1000)
        tls.close()
        self.assertTrue(c.reply().startswith("451 "))
        self.assert_still_serving()


class ProtectedDataTls13Test(ServerCase):
    CONFIG = {"auth-mechanism": "SSL"}

    def test_tls13_data_connections_resume_and_close_cleanly(self):
        ctx = tls_context()
        c = self.session()
        self.assertEqual(c.cmd("AUTH SSL"), "234 SSL was recognized.")
        start_tls(c, ctx)
        c.login(*USER)  # reading replies takes in the session tickets
        self.assertEqual(c.sock.version(), "TLSv1.3")
        self.assertEqual(c.cmd("PROT P"), "200 Protection level=Private")
        self.assertEqual(c.cmd("TYPE I"), "200 TYPE Command okay. (Type is BINARY)")
        session = c.sock.session
        for mode in ("PASV", "PORT"):
            with self.subTest(mode=mode):
                data, reused, _, last = protected_transfer(c, "RETR blob.bin", mode, ctx,
                                                        session=session)
                self.assertEqual(data, self.payload)
                self.assertTrue(reused)
                self.assertEqual(last, "226 Closing data connection.")
                _, reused, _, last = protected_transfer(c, "STOR t13-%s.bin" % mode, mode, ctx,
                                                     session=session, upload=self.payload)
                self.assertTrue(reused)
                self.assertEqual(last, "226 Closing data connection.")
                with open(os.path.join(self.inst.root, "t13-%s.bin" % mode), "rb") as f:
                    self.assertEqual(f.read(), self.payload)


if __name__ == "__main__":
    unittest.main()
