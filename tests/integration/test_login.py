"""Log-in and session state: USER, PASS, REIN, QUIT and ACCT against a real server.

Each class runs one server whose configuration picks the anonymous password
mode; the checks talk raw FTP for exact replies and read the server's log
(stdout) and access log (stderr).
"""
import ftplib
import os
import re
import ssl
import unittest

import torva_harness as h
from torva_harness import read, write  # noqa: F401

NOT_LOGGED_IN = "530 Not logged in."
BAD_SEQUENCE = "503 Bad sequence of commands."
SYNTAX = "501 Syntax error in parameters or arguments."



class ServerCase(h.ServerCase):
    """One server per class; subclasses fill `CONFIG` and `prepare`."""

    def client(self):
        return self.greeted()

    def refused(self, user, password, reply, log_line=None):
        """USER/PASS answered `reply`, after which the server closes."""
        c = self.client()
        self.assertEqual(c.cmd("USER " + user), "331 User name okay, need password.")
        self.assertEqual(c.cmd("PASS " + password), reply)
        self.assertTrue(c.closed(), "session went on after: " + reply)
        if log_line is not None:
            self.assertTrue(self.inst.wait_log(log_line), log_line + "\n" + self.inst.log()[-2000:])

    def logged_in(self, user, password):
        c = self.client()
        c.login(user, password)
        return c

    def access_ids(self, pattern):
        """Thread ids of the access-log lines matching `pattern` (group 1)."""
        return re.findall(pattern, self.inst.access_log())


class MailModeTest(ServerCase):
    """anonymous-pass left at mail, access-log2 on, several named users."""

    CONFIG = {"anonymous": "enable", "access-log2": "on"}

    @classmethod
    def prepare(cls, inst):
        root = inst.root
        os.makedirs(os.path.join(root, "sub"))
        write(os.path.join(root, "x"), b"12")
        # The anonymous top directory is given without a trailing separator; a
        # sibling file shares its name as a prefix, so a path joined without the
        # separator would name the sibling.
        cls.anon = os.path.join(inst.dir, "anon")
        os.makedirs(cls.anon)
        write(os.path.join(cls.anon, "f.txt"), b"four")
        write(os.path.join(inst.dir, "anonf.txt"), b"ninebytes")
        inst.config["anonymous-path"] = cls.anon
        cls.gone = os.path.join(inst.dir, "gone")
        cls.afile = os.path.join(inst.dir, "homefile")
        write(cls.afile, b"not a directory")
        cls.capital = os.path.join(inst.dir, "capital")
        os.makedirs(cls.capital)
        write(os.path.join(cls.capital, "f.txt"), b"capital!")
        inst.add_user("alice", "pw1")
        inst.add_user("ghost", "pw2", home=cls.gone)
        inst.add_user("filey", "pw3", home=cls.afile)
        inst.add_user("Anonymous", "Secret1", home=cls.capital)

    def test_named_user_logs_in_with_access_log_line(self):
        c = self.client()
        self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
        self.assertEqual(c.cmd("PASS pw1"), "230 User logged in, proceed.")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')
        self.assertEqual(c.cmd("SIZE x"), "213 2")
        self.assertEqual(c.cmd("QUIT"), "221 Service closing control connection.")
        self.assertTrue(c.closed())
        ids = self.access_ids(r"Login was success from 127\.0\.0\.1 \(ID=([0-9A-F]+) / USER=alice\)")
        self.assertTrue(ids, self.inst.access_log())
        # The id is the session thread's, as the session's start line shows it.
        self.assertRegex(self.inst.log(), r"Transaction was started\. \([0-9A-F]+/%s\)" % ids[-1])
        self.assertIn("PASS: (hidden)", self.inst.log())
        self.assertNotIn("pw1", self.inst.log() + self.inst.access_log())

    def test_refusals_end_the_session(self):
        self.refused("alice", "wrong", NOT_LOGGED_IN, "Failed to login. (203)")
        self.refused("nobody", "pw", NOT_LOGGED_IN, "Failed to login. (202)")
        self.refused("ghost", "pw2", NOT_LOGGED_IN, "Cannot access: [%s]" % self.gone)
        self.assertIn("Failed _access() errno=2", self.inst.log())
        self.refused("filey", "pw3", NOT_LOGGED_IN, "[%s] is not directory." % self.afile)
        self.refused("anonymous", "no-at-sign", "530 Not logged in. (Bad anonymous password.)",
                     "Bad anonymous passwd.")
        # Refused log-ins write nothing to the access log.
        self.assertNotIn("USER=ghost", self.inst.access_log())
        self.assertNotIn("USER=filey", self.inst.access_log())

    def test_anonymous_with_mail_address(self):
        c = self.logged_in("anonymous", "me@example.org")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')
        # f.txt inside the anonymous directory, not the sibling anonf.txt.
        self.assertEqual(c.cmd("SIZE f.txt"), "213 4")
        self.assertTrue(self.inst.wait_log("PASS(anonymous): (me@example.org)"))
        self.assertRegex(self.inst.access_log(),
                         r"Anonymous login was success from 127\.0\.0\.1 \(ID=[0-9A-F]+ / "
                         r"PASS=me@example\.org\)")

    def test_overlong_names_and_passwords_are_cut(self):
        # A name is kept to 31 characters, a password to 255.
        self.refused("a" * 500, "p" * 900, NOT_LOGGED_IN, "USER: [%s]" % ("a" * 31))
        self.refused("alice", "pw1" + "x" * 900, NOT_LOGGED_IN)
        # The mail check sees the kept 255 characters only.
        self.logged_in("anonymous", "y" * 254 + "@" + "z" * 600)
        self.refused("anonymous", "y" * 255 + "@", "530 Not logged in. (Bad anonymous password.)")

    def test_capital_anonymous_is_a_named_user(self):
        c = self.logged_in("Anonymous", "Secret1")
        self.assertEqual(c.cmd("SIZE f.txt"), "213 8")
        self.assertIn("USER=Anonymous", self.inst.access_log())
        # A mail address is no password for it.
        self.refused("Anonymous", "me@example.org", NOT_LOGGED_IN)

    def test_out_of_sequence_commands(self):
        c = self.client()
        self.assertEqual(c.cmd("PASS pw1"), BAD_SEQUENCE)
        self.assertTrue(c.closed())

        c = self.client()
        self.assertEqual(c.cmd("USER"), SYNTAX)
        self.assertTrue(c.closed())

        c = self.client()
        self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
        self.assertEqual(c.cmd("PASS"), SYNTAX)
        self.assertTrue(c.closed())

        c = self.logged_in("alice", "pw1")
        self.assertEqual(c.cmd("PASS pw1"), BAD_SEQUENCE)
        self.assertTrue(c.closed())

        c = self.client()
        self.assertEqual(c.cmd("QUIT"), BAD_SEQUENCE)
        self.assertTrue(c.closed())

        c = self.client()
        self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
        self.assertEqual(c.cmd("QUIT"), BAD_SEQUENCE)
        self.assertTrue(c.closed())

    def test_acct_is_unknown_and_the_session_goes_on(self):
        c = self.client()
        self.assertEqual(c.cmd("ACCT x"), "502 Command not implemented.")
        c.login("alice", "pw1")
        self.assertEqual(c.cmd("ACCT x"), "502 Command not implemented.")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')

    def test_rein_forgets_the_log_in(self):
        c = self.logged_in("alice", "pw1")
        self.assertEqual(c.cmd("CWD sub"), '250 "\\sub\\" is new CWD.')
        self.assertEqual(c.cmd("REIN"), "220 Service ready for new user.")
        self.assertEqual(c.cmd("PWD"), NOT_LOGGED_IN)
        self.assertTrue(c.closed())

        c = self.logged_in("alice", "pw1")
        self.assertEqual(c.cmd("CWD sub"), '250 "\\sub\\" is new CWD.')
        self.assertEqual(c.cmd("REIN"), "220 Service ready for new user.")
        c.login("alice", "pw1")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')

    def test_user_after_log_in_logs_the_session_out(self):
        c = self.logged_in("alice", "pw1")
        self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
        self.assertEqual(c.cmd("PWD"), NOT_LOGGED_IN)
        self.assertTrue(c.closed())

        # A fresh log-in starts at the top with no rename pending.
        c = self.logged_in("alice", "pw1")
        self.assertEqual(c.cmd("CWD sub"), '250 "\\sub\\" is new CWD.')
        self.assertEqual(c.cmd("RNFR \\x"), "350 Requested file action pending further information.")
        c.login("alice", "pw1")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')
        self.assertEqual(c.cmd("RNTO y"), BAD_SEQUENCE)
        self.assertTrue(c.closed())
        self.assertTrue(os.path.exists(os.path.join(self.inst.root, "x")))


class GuestModeTest(ServerCase):
    CONFIG = {"anonymous": "enable", "anonymous-pass": "guest"}

    @classmethod
    def prepare(cls, inst):
        inst.config["anonymous-path"] = inst.root + "/"

    def test_guest_passwords(self):
        c = self.logged_in("anonymous", "kesto")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')
        self.logged_in("anonymous", "someone@")
        self.refused("anonymous", "Kesto", "530 Not logged in. (Bad anonymous password.)")
        self.refused("anonymous", "kesto2", "530 Not logged in. (Bad anonymous password.)")
        # Without access-log2 successful log-ins stay off the access log.
        self.assertIn("Success to login.", self.inst.log())
        self.assertNotIn("login was success", self.inst.access_log().lower())


class AnyModeTest(ServerCase):
    CONFIG = {"anonymous": "enable", "anonymous-pass": "any", "unknown-command": "close",
              "access-log2": "on"}

    @classmethod
    def prepare(cls, inst):
        inst.config["anonymous-path"] = inst.root

    def test_empty_password_needs_the_blank(self):
        c = self.client()
        self.assertEqual(c.cmd("USER anonymous"), "331 User name okay, need password.")
        self.assertEqual(c.cmd("PASS "), "230 User logged in, proceed.")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')
        self.assertRegex(self.inst.access_log(),
                         r"Anonymous login was success from 127\.0\.0\.1 \(ID=[0-9A-F]+ / PASS=\)")

        c = self.client()
        self.assertEqual(c.cmd("USER anonymous"), "331 User name okay, need password.")
        self.assertEqual(c.cmd("PASS"), SYNTAX)
        self.assertTrue(c.closed())

        self.logged_in("anonymous", "anything at all")

    def test_acct_closes_with_unknown_command_close(self):
        c = self.logged_in("anonymous", "x")
        self.assertEqual(c.cmd("ACCT x"), "502 Command not implemented.")
        self.assertTrue(c.closed())


class AnonymousOffTest(ServerCase):
    """The name "anonymous" goes to the user store like any other."""

    CONFIG = {"anonymous-pass": "any"}

    @classmethod
    def prepare(cls, inst):
        inst.config["anonymous-path"] = inst.root
        cls.home = os.path.join(inst.dir, "anonhome")
        os.makedirs(cls.home)
        write(os.path.join(cls.home, "mine"), b"123")
        inst.add_user("anonymous", "s3cret", home=cls.home)

    def test_anonymous_is_a_stored_user(self):
        self.refused("anonymous", "me@example.org", NOT_LOGGED_IN, "Failed to login. (203)")
        c = self.logged_in("anonymous", "s3cret")
        self.assertEqual(c.cmd("SIZE mine"), "213 3")
        self.assertIn("PASS: (hidden)", self.inst.log())
        self.assertNotIn("PASS(anonymous)", self.inst.log())


class AnonymousPathUndefinedTest(ServerCase):
    CONFIG = {"anonymous": "enable"}

    def test_log_in_refused(self):
        self.refused("anonymous", "me@example.org", "530 Not logged in. (Directory was not defined.)",
                     "Anonymous path was not defined.")


class BioTls:
    """A TLS layer over a plain socket that the test can step out of: after
    REIN the server answers in clear on the same socket."""

    def __init__(self, sock):
        self.sock = sock
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = h.client_tls_context().wrap_bio(self.incoming, self.outgoing)
        self.buf = b""
        self._pump(self.tls.do_handshake)

    def _flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def _pump(self, step):
        while True:
            try:
                result = step()
                self._flush()
                return result
            except ssl.SSLWantReadError:
                self._flush()
                data = self.sock.recv(65536)
                if not data:
                    raise EOFError("closed during TLS")
                self.incoming.write(data)

    def cmd(self, line):
        self._pump(lambda: self.tls.write((line + "\r\n").encode()))
        while b"\r\n" not in self.buf:
            self.buf += self._pump(lambda: self.tls.read(65536))
        reply, self.buf = self.buf.split(b"\r\n", 1)
        return reply.decode("latin-1")


class TlsStateTest(ServerCase):
    """USER keeps the control connection's protection; REIN drops it."""

    CONFIG = {"auth-mechanism": "TLS", "list-type-NLST": "nameonly"}

    @classmethod
    def prepare(cls, inst):
        h.make_certificate(inst.conf_dir)
        write(os.path.join(inst.root, "listed.txt"), b"x")
        inst.add_user("alice", "pw1")

    def test_user_keeps_protection(self):
        ftp = ftplib.FTP_TLS(context=h.client_tls_context())
        ftp.connect("127.0.0.1", self.inst.port, timeout=10)
        self.addCleanup(ftp.close)
        ftp.login("alice", "pw1")
        ftp.prot_p()
        self.assertIn("listed.txt", ftp.nlst())
        # The new USER/PASS travel over the same TLS session, and the data
        # connection stays protected without a new PROT.
        self.assertEqual(ftp.sendcmd("USER alice"), "331 User name okay, need password.")
        self.assertEqual(ftp.sendcmd("PASS pw1"), "230 User logged in, proceed.")
        self.assertIn("listed.txt", ftp.nlst())
        self.assertEqual(ftp.quit(), "221 Service closing control connection.")

    def test_rein_answers_in_clear(self):
        c = self.client()
        self.assertEqual(c.cmd("AUTH TLS"), "234 TLS was recognized.")
        tls = BioTls(c.sock)
        self.assertEqual(tls.cmd("USER alice"), "331 User name okay, need password.")
        self.assertEqual(tls.cmd("PASS pw1"), "230 User logged in, proceed.")
        tls._pump(lambda: tls.tls.write(b"REIN\r\n"))
        self.assertEqual(c.reply(), "220 Service ready for new user.")
        c.login("alice", "pw1")
        self.assertEqual(c.cmd("PWD"), '257 "\\" is CWD.')


if __name__ == "__main__":
    unittest.main()
