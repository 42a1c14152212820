"""Everyday client features against the real server: REST, MDTM/MFMT,
MLSD/MLST, EPSV/EPRT, IPv6, ABOR, ALLO/MODE/STRU, list-standard and
feat-utf8, each driven raw for its exact replies and through curl, lftp, wget
and Python's ftplib, plain and protected, over IPv4 and IPv6 (::1).

The classic server (none of the keys) must answer exactly as before; the
mended faults (STOU never replaces a file) hold in both.
"""
import ftplib
import io
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

import torva_harness as h
from test_data_transfer import pasv_port, recv_all
from torva_harness import read, write

USER = ("bob", "pw")
READER = ("reader", "rpw")
CURL = shutil.which("curl")
LFTP = shutil.which("lftp")
WGET = shutil.which("wget")
CLIENT_TIMEOUT = 60

NOT_IMPLEMENTED = "502 Command not implemented."
SYNTAX = "501 Syntax error in parameters or arguments."
CLOSING = "226 Closing data connection."
NOT_TAKEN = "550 Requested action not taken."
NOT_FOUND = "550 Requested action not taken. (not found)"
CANNOT_ACCESS = "550 Requested action not taken. (cannot access)"
ABORTED = "426 Connection closed; transfer aborted."

EXTENSIONS = ["REST", "MDTM", "MFMT", "MLSD", "MLST", "EPSV", "EPRT", "ABOR", "ALLO", "MODE",
              "STRU"]
# The shipped template's choices for the new keys, on a loopback server.
ALL_ON = {"enable-command": EXTENSIONS, "list-standard": "on", "feat-utf8": "on",
          "list-type-NLST": "nameonly", "dir-separator": "/", "default-lang": "en"}
DUAL_STACK = {"socket-domain": "AF_INET6", "bind-host": "::"}


def ipv6_loopback():
    """True when this machine can listen and connect on ::1."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
            s.listen(1)
            socket.create_connection(("::1", s.getsockname()[1]), timeout=5).close()
        return True
    except OSError:
        return False


HAVE_IPV6 = ipv6_loopback()
NO_IPV6 = "this machine has no usable ::1 (no IPv6 loopback), so the IPv6 cases cannot run"


def connect(inst, host="127.0.0.1", user=USER):
    """A logged-in RawClient to `host` (IPv4 or IPv6 text)."""
    c = h.RawClient(inst.port, host=host, timeout=20)
    assert c.reply().startswith("220")
    if user is not None:
        c.login(*user)
    return c


def epsv(c, host="127.0.0.1"):
    """EPSV and the client's connection to the announced port."""
    reply = c.cmd("EPSV")
    assert reply.startswith("229 Entering Extended Passive Mode (|||"), reply
    port = int(reply.split("|||")[1].split("|")[0])
    return socket.create_connection((host, port), timeout=20)


def transfer(c, command, data_sock, payload=None):
    """Runs one transfer command on an opened data connection: (first reply,
    data read or None, final reply)."""
    c.send(command + "\r\n")
    first = c.reply()
    got = None
    if payload is not None:
        data_sock.sendall(payload)
        data_sock.close()
    else:
        got = recv_all(data_sock)
        data_sock.close()
    return first, got, c.reply()


def utc_stamp(path):
    return time.strftime("%Y%m%d%H%M%S", time.gmtime(os.stat(path).st_mtime))


class FeatureCase(h.ServerCase):
    CONFIG = ALL_ON
    USERS = [USER, READER + (None, True)]

    def path(self, *parts):
        return os.path.join(self.inst.root, *parts)

    def session(self, host="127.0.0.1", user=USER):
        c = connect(self.inst, host, user)
        self.addCleanup(c.close)
        return c

    def assertGoesOn(self, c):
        self.assertEqual(c.cmd("NOOP"), "200 Command okay.")


# ---------------------------------------------------------- classic server
class ClassicWithoutTheKeys(FeatureCase):
    """No new key: every new command is unknown, FEAT, HELP and listings are
    the classic ones."""
    CONFIG = {}

    def test_new_commands_are_unknown(self):
        c = self.session()
        for line in ("REST 5", "MDTM x", "MFMT 20240101000000 x", "MLSD", "MLST", "EPSV",
                     "EPRT |1|127.0.0.1|5000|", "ABOR", "ALLO 5", "MODE S", "STRU F"):
            with self.subTest(line=line):
                self.assertEqual(c.cmd(line), NOT_IMPLEMENTED)
        self.assertGoesOn(c)

    def test_feat_help_and_listing_stay_classic(self):
        c = self.session()
        c.send("FEAT\r\n")
        self.assertEqual(c.reply_lines(), ["211-Extensions supported:", " SIZE", "211 END"])
        c.send("HELP\r\n")
        self.assertEqual(c.reply_lines(), [
            "214-The following  commands are recognized (*:unimplemented)",
            " USER  PASS  ACCT* CWD   CDUP ", " SMNT* REIN  QUIT  AUTH  ADAT*",
            " PROT  PBSZ  CCC*  MIC*  CONF*", " ENC*  PORT  PASV  TYPE  STRU*",
            " MODE* RETR  STOR  STOU  APPE ", " ALLO* RNFR  RNTO  ABOR* DELE ",
            " RMD   MKD   PWD   LIST  NLST ", " SITE* SYST  STAT  HELP  NOOP ",
            " SIZE  FEAT  OPTS  LANG ", "214 End of HELP."])
        os.makedirs(self.path("docs"), exist_ok=True)
        write(self.path("docs", "in.txt"), b"x")
        s = socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20)
        first, got, last = transfer(c, "NLST docs", s)
        # The argument names no directory: the title and the top's entries.
        lines = got.decode().split("\r\n")
        self.assertEqual(lines[0], "List of root-directory")
        self.assertFalse(any(l.endswith("in.txt") for l in lines), lines)
        self.assertEqual(last, CLOSING)
        log = self.inst.log()
        self.assertNotIn("enable-command:", log)
        self.assertNotIn("list-standard:", log)


class StoreUnique(FeatureCase):
    """STOU never replaces a file, with or without the new keys."""
    CONFIG = {}

    def stou(self, c, arg):
        s = socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20)
        command = "STOU" if arg is None else "STOU " + arg
        return transfer(c, command, s, payload=("data of %s" % arg).encode())

    def test_taken_names_get_the_first_free_suffix(self):
        write(self.path("keep.txt"), b"original")
        write(self.path("keep.txt.1"), b"first")
        c = self.session()
        self.assertEqual(self.stou(c, "keep.txt")[2], '226 "\\keep.txt.2" was generated.')
        self.assertEqual(self.stou(c, "keep.txt")[2], '226 "\\keep.txt.3" was generated.')
        self.assertEqual(read(self.path("keep.txt")), b"original")
        self.assertEqual(read(self.path("keep.txt.1")), b"first")
        self.assertEqual(read(self.path("keep.txt.3")), b"data of keep.txt")
        # A directory of that name is never touched either.
        os.makedirs(self.path("d.bin"), exist_ok=True)
        self.assertEqual(self.stou(c, "d.bin")[2], '226 "\\d.bin.1" was generated.')

    def test_without_a_name_one_is_made_up(self):
        c = self.session()
        reply = self.stou(c, None)[2]
        self.assertRegex(reply, r'^226 "\\stou-\d{8}-\d{6}-[0-9A-F]+" was generated\.$')
        made = reply.split('"')[1][1:]
        self.assertEqual(read(self.path(made)), b"data of None")
        # Without a data connection nothing is left behind.
        before = set(os.listdir(self.inst.root))
        self.assertEqual(c.cmd("STOU"), "425 Can't open data connection.")
        self.assertTrue(c.closed())
        self.assertEqual(set(os.listdir(self.inst.root)), before)

    def test_two_uploads_of_one_name_never_share_a_file(self):
        clients = [self.session() for _ in range(4)]
        socks = [socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20) for c in clients]
        for i, c in enumerate(clients):
            c.send("STOU race.bin\r\n")
        names = []
        for i, (c, s) in enumerate(zip(clients, socks)):
            self.assertEqual(c.reply(), "150 Connected.")
            s.sendall(b"upload %d" % i)
            s.close()
            names.append(c.reply().split('"')[1][1:])
        self.assertEqual(len(set(names)), 4, names)
        self.assertEqual(sorted(read(self.path(n)) for n in names),
                         [b"upload %d" % i for i in range(4)])


# ------------------------------------------------------------- raw replies
class RestartAndTimes(FeatureCase):
    def setUp(self):
        self.data = bytes(range(256)) * 40
        write(self.path("r.bin"), self.data)

    def retr(self, c, rest=None, command="RETR r.bin", payload=None):
        """PASV, then REST when given (right before the transfer command, as
        clients send it), then the transfer."""
        s = socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20)
        if rest is not None:
            self.assertEqual(c.cmd("REST %s" % rest),
                             "350 Restarting at %s. Send STORE or RETRIEVE." % rest)
        return transfer(c, command, s, payload)

    def test_rest_starts_the_next_transfer_only(self):
        c = self.session()
        c.cmd("TYPE I")
        self.assertEqual(self.retr(c, 1000)[1:], (self.data[1000:], CLOSING))
        self.assertEqual(self.retr(c)[1], self.data)  # used up
        c.cmd("REST 7")  # any other command, PASV too, clears it
        self.assertEqual(self.retr(c)[1], self.data)
        self.assertEqual(self.retr(c, len(self.data))[1:], (b"", CLOSING))
        c.cmd("PASV")
        c.cmd("REST %d" % (len(self.data) + 1))
        self.assertEqual(c.cmd("RETR r.bin"), "554 Requested action not taken: invalid REST parameter.")
        for bad in ("REST", "REST -1", "REST 12a", "REST 1234567890123456789"):
            self.assertEqual(c.cmd(bad), SYNTAX, bad)
        c.cmd("TYPE A")
        c.cmd("REST 5")
        self.assertEqual(c.cmd("RETR r.bin"), "504 Command not implemented for that parameter.")
        self.assertGoesOn(c)

    def test_rest_before_stor_keeps_the_bytes_before_it(self):
        c = self.session()
        c.cmd("TYPE I")
        write(self.path("up.bin"), b"0123456789")
        self.assertEqual(self.retr(c, 4, "STOR up.bin", b"abc")[2], CLOSING)
        self.assertEqual(read(self.path("up.bin")), b"0123abc")
        self.assertEqual(self.retr(c, 7, "STOR up.bin", b"defg")[2], CLOSING)
        self.assertEqual(read(self.path("up.bin")), b"0123abcdefg")
        c.cmd("REST 12")
        self.assertEqual(c.cmd("STOR up.bin"), "554 Requested action not taken: invalid REST parameter.")
        self.assertEqual(read(self.path("up.bin")), b"0123abcdefg")
        c.cmd("TYPE A")
        c.cmd("REST 2")
        self.assertEqual(c.cmd("STOR up.bin"), "504 Command not implemented for that parameter.")
        self.assertGoesOn(c)

    def test_mdtm_and_mfmt(self):
        c = self.session()
        self.assertEqual(c.cmd("MDTM r.bin"), "213 " + utc_stamp(self.path("r.bin")))
        self.assertEqual(c.cmd("MFMT 20200229235958 r.bin"), "213 Modify=20200229235958; r.bin")
        self.assertEqual(c.cmd("MDTM r.bin"), "213 20200229235958")
        self.assertEqual(os.stat(self.path("r.bin")).st_mtime, 1583020798)
        os.makedirs(self.path("dir"), exist_ok=True)
        self.assertEqual(c.cmd("MDTM dir"), CANNOT_ACCESS)
        self.assertEqual(c.cmd("MDTM gone.bin"), NOT_FOUND)
        self.assertEqual(c.cmd("MDTM a..b"), '501 The file including ".." cannot be treated.')
        for bad in ("MFMT 20210229000000 r.bin", "MFMT 2020022923595 r.bin", "MFMT r.bin",
                    "MFMT 20201301000000 r.bin"):
            self.assertEqual(c.cmd(bad), SYNTAX, bad)
        self.assertEqual(c.cmd("MFMT 20200101000000 dir"), CANNOT_ACCESS)
        reader = self.session(user=READER)
        self.assertEqual(reader.cmd("MDTM r.bin"), "213 20200229235958")
        self.assertEqual(reader.cmd("MFMT 20100101000000 r.bin"), "550 No permission.")
        self.assertGoesOn(c)


class MachineListings(FeatureCase):
    @classmethod
    def prepare(cls, inst):
        root = inst.root
        os.makedirs(os.path.join(root, "docs", "sub"))
        write(os.path.join(root, "docs", "f.txt"), b"12345")
        write(os.path.join(root, "docs", "ro.txt"), b"r")
        os.chmod(os.path.join(root, "docs", "ro.txt"), 0o444)
        with open(os.path.join(root, "docs", "huge.bin"), "wb") as f:
            f.truncate(5 << 30)

    def mlsd(self, c, arg=""):
        s = socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20)
        first, got, last = transfer(c, ("MLSD " + arg).strip(), s)
        self.assertEqual((first, last), ("150 Connected.", CLOSING))
        return sorted(got.decode().split("\r\n")[:-1])

    def test_mlsd_facts_and_permissions(self):
        docs = self.path("docs")
        t = {n: utc_stamp(os.path.join(docs, n)) for n in (".", "..", "f.txt", "ro.txt", "huge.bin",
                                                          "sub")}
        t[".."] = utc_stamp(self.inst.root)
        writer = self.session()
        self.assertEqual(writer.cmd("CWD docs"), '250 "/docs/" is new CWD.')
        self.assertEqual(self.mlsd(writer), sorted([
            "type=cdir;modify=%s;perm=cdeflmp; ." % t["."],
            "type=pdir;modify=%s;perm=cdeflmp; .." % t[".."],
            "type=file;size=5;modify=%s;perm=adfrw; f.txt" % t["f.txt"],
            "type=file;size=1;modify=%s;perm=dfr; ro.txt" % t["ro.txt"],
            "type=file;size=5368709120;modify=%s;perm=adfrw; huge.bin" % t["huge.bin"],
            "type=dir;modify=%s;perm=cdeflmp; sub" % t["sub"]]))
        reader = self.session(user=READER)
        got = self.mlsd(reader, "docs")
        self.assertIn("type=file;size=5;modify=%s;perm=r; f.txt" % t["f.txt"], got)
        self.assertIn("type=dir;modify=%s;perm=el; sub" % t["sub"], got)
        # At the top nothing above it is listed.
        self.assertFalse(any("type=pdir" in l for l in self.mlsd(reader)))
        self.assertEqual(reader.cmd("MLSD nowhere"), NOT_TAKEN)
        self.assertEqual(reader.cmd("MLSD docs/f.txt"), NOT_TAKEN)
        self.assertEqual(reader.cmd("MLSD docs/../.."), NOT_TAKEN)
        self.assertGoesOn(reader)

    def test_mlst_and_opts_mlst(self):
        c = self.session()
        f = self.path("docs", "f.txt")
        c.send("MLST docs/f.txt\r\n")
        self.assertEqual(c.reply_lines(), [
            "250-Listing docs/f.txt",
            " type=file;size=5;modify=%s;perm=adfrw; docs/f.txt" % utc_stamp(f), "250 End"])
        c.send("MLST\r\n")
        self.assertEqual(c.reply_lines(), [
            "250-Listing /", " type=cdir;modify=%s;perm=cdeflmp; /" % utc_stamp(self.inst.root),
            "250 End"])
        self.assertEqual(c.cmd("MLST nothing.txt"), NOT_TAKEN)
        self.assertEqual(c.cmd("OPTS MLST size;Type;bogus;"), "200 MLST OPTS type;size;")
        c.send("MLST docs/f.txt\r\n")
        self.assertEqual(c.reply_lines()[1], " type=file;size=5; docs/f.txt")
        c.send("FEAT\r\n")
        self.assertIn(" MLST type*;size*;modify;perm;", c.reply_lines())
        self.assertEqual(self.mlsd(c, "docs/sub"), ["type=cdir; .", "type=pdir; .."])


class ExtendedDataConnections(FeatureCase):
    def setUp(self):
        write(self.path("e.bin"), b"extended" * 1000)

    def listener(self, host="127.0.0.1"):
        ls = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        ls.bind((host, 0))
        ls.listen(1)
        ls.settimeout(20)
        return ls

    def test_epsv_and_epsv_all(self):
        c = self.session()
        s = epsv(c)
        self.assertEqual(transfer(c, "RETR e.bin", s)[1:], (b"extended" * 1000, CLOSING))
        self.assertEqual(c.cmd("EPSV 2"), "522 Network protocol not supported, use (1)")
        self.assertEqual(c.cmd("EPSV 3"), SYNTAX)
        self.assertTrue(c.cmd("EPSV 1").startswith("229 "))
        self.assertEqual(c.cmd("EPSV ALL"), "200 EPSV ALL Command okay.")
        for line in ("PASV", "PORT 127,0,0,1,39,16", "EPRT |1|127.0.0.1|10000|"):
            self.assertEqual(c.cmd(line), "503 Bad sequence of commands. (EPSV ALL)", line)
        s = epsv(c)
        self.assertEqual(transfer(c, "RETR e.bin", s)[2], CLOSING)

    def test_eprt_follows_the_rules_of_port(self):
        c = self.session()
        ls = self.listener()
        port = ls.getsockname()[1]
        self.assertEqual(c.cmd("EPRT |1|127.0.0.1|%d|" % port), "200 EPRT Command okay.")
        c.send("RETR e.bin\r\n")
        s, _ = ls.accept()
        self.assertEqual(c.reply(), "150 Connected. (ASCII mode)")
        self.assertEqual(recv_all(s), b"extended" * 1000)
        self.assertEqual(c.reply(), CLOSING)
        self.assertEqual(c.cmd("EPRT !1!127.0.0.1!%d!" % port), "200 EPRT Command okay.")
        for bad in ("EPRT", "EPRT |1|127.0.0.1|", "EPRT |1|300.0.0.1|5000|",
                    "EPRT |1|127.0.0.1|70000|", "EPRT 1|127.0.0.1|5000|"):
            self.assertEqual(c.cmd(bad), SYNTAX, bad)
        self.assertEqual(c.cmd("EPRT |3|127.0.0.1|5000|"),
                         "522 Network protocol not supported, use (1,2)")
        # Another host or a privileged port: refused and the session ends.
        for bounce in ("EPRT |1|127.0.0.2|5000|", "EPRT |1|127.0.0.1|21|",
                       "EPRT |2|::1|5000|"):
            c = self.session()
            self.assertEqual(c.cmd(bounce), SYNTAX, bounce)
            self.assertTrue(c.closed(), bounce)


class Abort(FeatureCase):
    @classmethod
    def prepare(cls, inst):
        with open(os.path.join(inst.root, "endless.bin"), "wb") as f:
            f.truncate(512 << 20)  # never sent in full: the client stops reading

    def start_retr(self, c):
        s = socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20)
        c.cmd("TYPE I")
        c.send("RETR endless.bin\r\n")
        self.assertEqual(c.reply(), "150 Connected.")
        self.assertEqual(len(s.recv(4096)) > 0, True)
        return s

    def test_abor_stops_a_transfer_within_a_second(self):
        c = self.session()
        self.assertEqual(c.cmd("ABOR"), "225 No transfer to abort.")
        for urgent in (False, True):
            s = self.start_retr(c)
            t0 = time.monotonic()
            if urgent:
                # Telnet IP, then the Synch (DM as urgent data), as lftp does.
                c.sock.send(b"\xff\xf4\xff", socket.MSG_OOB)
                c.sock.send(b"\xf2ABOR\r\n")
            else:
                c.sock.send(b"ABOR\r\n", socket.MSG_OOB)  # as ftplib's abort()
            self.assertEqual(c.reply(), ABORTED)
            self.assertEqual(c.reply(), "226 Abort successful.")
            self.assertLess(time.monotonic() - t0, 2.5)
            s.close()
            self.assertEqual(c.cmd("ABOR"), "225 No transfer to abort.")
            self.assertGoesOn(c)

    def test_a_client_that_drops_the_data_connection_keeps_its_session(self):
        c = self.session()
        s = self.start_retr(c)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
        s.close()  # reset
        self.assertEqual(c.reply(), ABORTED)
        self.assertGoesOn(c)
        # Lines sent during the transfer are answered in order after it.
        s = self.start_retr(c)
        c.send("NOOP\r\nABOR\r\nPWD\r\n")
        self.assertEqual([c.reply() for _ in range(4)],
                         [ABORTED, "200 Command okay.", "226 Abort successful.",
                          '257 "/" is CWD.'])
        s.close()

    def test_abort_of_an_upload(self):
        c = self.session()
        c.cmd("TYPE I")
        s = socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20)
        c.send("STOR part.bin\r\n")
        self.assertEqual(c.reply(), "150 Connected.")
        s.sendall(b"p" * 100000)
        c.send("ABOR\r\n")  # the data connection stays open and silent
        self.assertEqual(c.reply(), ABORTED)
        self.assertEqual(c.reply(), "226 Abort successful.")
        s.close()
        # What arrived before the abort stays; the upload goes no further.
        self.assertLessEqual(len(read(self.path("part.bin"))), 100000)
        self.assertGoesOn(c)


class CommandsAndFeatures(FeatureCase):
    CONFIG = dict(ALL_ON, **{"utf8-mode": "on"})

    def test_allo_mode_stru(self):
        c = self.session()
        self.assertEqual(c.cmd("ALLO 1000"), "202 Command not implemented, superfluous at this site.")
        self.assertEqual(c.cmd("MODE S"), "200 MODE Command okay. (Mode is STREAM)")
        self.assertEqual(c.cmd("STRU f"), "200 STRU Command okay. (Structure is FILE)")
        for line in ("MODE B", "MODE Z", "STRU R", "STRU P"):
            self.assertEqual(c.cmd(line), "504 Command not implemented for that parameter.")
        self.assertGoesOn(c)

    def test_feat_and_help_show_what_is_on(self):
        c = connect(self.inst, user=None)
        self.addCleanup(c.close)
        c.send("FEAT\r\n")
        # feat-utf8: UTF8 and LANG also without auth-mechanism.
        self.assertEqual(c.reply_lines(), [
            "211-Extensions supported:", " SIZE", " MDTM", " MFMT", " REST STREAM",
            " MLST type*;size*;modify*;perm*;", " EPSV", " EPRT", " UTF8", " LANG EN*;JA",
            "211 END"])
        c.login(*USER)
        c.send("HELP\r\n")
        lines = c.reply_lines()
        self.assertEqual(lines[4:7], [" ENC*  PORT  PASV  TYPE  STRU ",
                                      " MODE  RETR  STOR  STOU  APPE ",
                                      " ALLO  RNFR  RNTO  ABOR  DELE "])
        self.assertEqual(lines[10:], [" REST  MDTM  MFMT  MLSD  MLST ", " EPSV  EPRT ",
                                      "214 End of HELP."])


class OneExtensionOnly(FeatureCase):
    """enable-command switches on what it names; ignore-command wins."""
    CONFIG = {"enable-command": ["MDTM", "EPSV", "BOGUS"], "ignore-command": ["EPSV", "SIZE"]}

    def test_only_the_named_command(self):
        c = self.session()
        self.assertTrue(c.cmd("MDTM nothing").startswith("550"))
        self.assertEqual(c.cmd("EPSV"), NOT_IMPLEMENTED)
        self.assertEqual(c.cmd("MLSD"), NOT_IMPLEMENTED)
        c.send("FEAT\r\n")
        self.assertEqual(c.reply_lines(), ["211-Extensions supported:", " MDTM", "211 END"])
        c.send("HELP\r\n")
        self.assertEqual(c.reply_lines()[10:12], [" REST* MDTM  MFMT* MLSD* MLST*", " EPSV* EPRT*"])
        self.assertIn("Unknown command in enable-command. (BOGUS)", self.inst.log())


class StandardListings(FeatureCase):
    @classmethod
    def prepare(cls, inst):
        root = inst.root
        os.makedirs(os.path.join(root, "docs", "deep"))
        write(os.path.join(root, "docs", "in.txt"), b"in")
        write(os.path.join(root, "top.txt"), b"top")

    def listing(self, c, command):
        s = socket.create_connection(pasv_port(c.cmd("PASV")), timeout=20)
        first, got, last = transfer(c, command, s)
        self.assertEqual(last, CLOSING)
        return got.decode().split("\r\n")[:-1]

    def test_list_and_nlst_name_their_directory(self):
        c = self.session()
        self.assertEqual(sorted(self.listing(c, "NLST")), ["docs", "top.txt"])
        self.assertEqual(sorted(self.listing(c, "NLST docs")), ["deep", "in.txt"])
        self.assertEqual(sorted(self.listing(c, "NLST /docs/deep/..")), ["deep", "in.txt"])
        lines = self.listing(c, "LIST -la docs")
        self.assertEqual(len(lines), 2, lines)  # no title, no dot entries
        self.assertTrue(lines[0].startswith("d") or lines[1].startswith("d"), lines)
        self.assertTrue(any(l.endswith(" in.txt") for l in lines), lines)
        self.assertTrue(self.listing(c, "LIST")[0].startswith(("d", "-")))
        c.cmd("CWD docs")
        self.assertEqual(sorted(self.listing(c, "NLST -a")), ["deep", "in.txt"])
        for bad in ("LIST nowhere", "LIST in.txt", "NLST ../..", "LIST /../docs"):
            c.cmd("PASV")
            self.assertEqual(c.cmd(bad), NOT_TAKEN, bad)
        self.assertGoesOn(c)


# ------------------------------------------------------------------- IPv6
@unittest.skipUnless(HAVE_IPV6, NO_IPV6)
class DualStack(FeatureCase):
    CONFIG = dict(ALL_ON, **DUAL_STACK, **{"failure-limit": "2", "access-log2": "on"})

    def setUp(self):
        write(self.path("six.bin"), b"v6" * 5000)

    def test_both_families_on_one_socket(self):
        four = self.session("127.0.0.1")
        self.assertTrue(self.inst.wait_log("Connected from 127.0.0.1 "))
        # An IPv4 client is IPv4 everywhere: PASV, PORT, EPRT |1|.
        host, port = pasv_port(four.cmd("PASV"))
        self.assertEqual(host, "127.0.0.1")
        s = socket.create_connection((host, port), timeout=20)
        self.assertEqual(transfer(four, "RETR six.bin", s)[2], CLOSING)
        six = self.session("::1")
        self.assertTrue(self.inst.wait_log("Connected from ::1 "))
        self.assertIn("Login was success from ::1 (ID=", self.inst.access_log())
        self.assertEqual(six.cmd("PASV"), "522 Network protocol not supported, use (2)")
        self.assertEqual(six.cmd("EPSV 1"), "522 Network protocol not supported, use (2)")
        s = epsv(six, "::1")
        self.assertEqual(transfer(six, "RETR six.bin", s)[1], b"v6" * 5000)
        ls = socket.socket(socket.AF_INET6)
        ls.bind(("::1", 0))
        ls.listen(1)
        ls.settimeout(20)
        self.assertEqual(six.cmd("EPRT |2|::1|%d|" % ls.getsockname()[1]), "200 EPRT Command okay.")
        six.send("STOR back.bin\r\n")
        d, peer = ls.accept()
        self.assertEqual(peer[0], "::1")
        self.assertEqual(six.reply(), "150 Connected. (ASCII mode)")
        d.sendall(b"uploaded over v6\r\n")
        d.close()
        self.assertEqual(six.reply(), CLOSING)
        self.assertEqual(read(self.path("back.bin")), b"uploaded over v6\n")
        self.assertEqual(six.cmd("PORT 127,0,0,1,39,16"), SYNTAX)  # not the client's address
        self.assertTrue(six.closed())

    def test_bans_of_ipv6_addresses(self):
        name = "0" * 31 + "1.dca"
        dc = os.path.join(self.inst.dc_dir, name)
        r = h.run("tvban", "::1", env=self.inst.env)
        self.assertEqual((r.returncode, r.stderr), (0, b"Added.\n"))
        self.assertTrue(os.path.isfile(dc))
        r = h.run("tvlsban", env=self.inst.env)
        self.assertEqual(r.stdout, b"List of disconnects:\n (1) ::1\nDone.\n")
        with socket.create_connection(("::1", self.inst.port), timeout=10) as s:
            s.settimeout(10)
            self.assertEqual(s.recv(100), b"")  # closed without a greeting
        self.assertTrue(self.inst.wait_log("Disconnected. (::1)"))
        self.session("127.0.0.1")  # IPv4 clients are not touched
        r = h.run("tvunban", "0:0::1", env=self.inst.env)
        self.assertEqual((r.returncode, r.stderr), (0, b"Deleted.\n"))
        self.assertEqual(h.run("tvban", "::1::2", env=self.inst.env).stderr, b"Format error.\n")
        # Two sessions without a log-in ban the address by its file.
        for _ in range(2):
            connect(self.inst, "::1", user=None).close()
        deadline = time.time() + 10
        while not os.path.exists(dc) and time.time() < deadline:
            time.sleep(0.05)
        self.assertTrue(os.path.exists(dc))
        self.assertIn("Added to the disconnect list: ::1", self.inst.access_log())
        os.unlink(dc)


# ------------------------------------------------------------ real clients
class ClientCase(FeatureCase):
    CONFIG = dict(ALL_ON, **(DUAL_STACK if HAVE_IPV6 else {}),
                  **{"auth-mechanism": "TLS", "session-timeout": "30"})
    TLS = True

    @classmethod
    def prepare(cls, inst):
        cls.payload = os.urandom(700 * 1024 + 17)
        write(os.path.join(inst.root, "blob.bin"), cls.payload)
        tree = os.path.join(inst.root, "tree")
        os.makedirs(os.path.join(tree, "a", "b"))
        for rel, size in (("one.bin", 1000), ("a/two.bin", 20000), ("a/b/three.txt", 3)):
            write(os.path.join(tree, rel), os.urandom(size))

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="torva-features-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def hosts(self):
        return ("127.0.0.1", "::1") if HAVE_IPV6 else ("127.0.0.1",)

    def run_client(self, argv, check=True):
        r = subprocess.run(argv, capture_output=True, timeout=CLIENT_TIMEOUT, cwd=self.work,
                           stdin=subprocess.DEVNULL)
        if check:
            self.assertEqual(r.returncode, 0, (argv, r.stdout[-2000:], r.stderr[-3000:],
                                               self.inst.log()[-3000:]))
        return r

    def url(self, host, path=""):
        return "ftp://%s:%d/%s" % ("[%s]" % host if ":" in host else host, self.inst.port, path)


@unittest.skipUnless(CURL, "curl is not installed")
class Curl(ClientCase):
    def curl(self, *args, check=True):
        return self.run_client([CURL, "-sS", "--max-time", "50", "-u", "%s:%s" % USER, "-k",
                                *args], check)

    def test_resume_download_and_upload(self):
        for host in self.hosts():
            for tls in ((), ("--ssl-reqd",)):
                with self.subTest(host=host, tls=tls):
                    # A marked prefix shows that only the rest travelled.
                    out = os.path.join(self.work, "c.bin")
                    write(out, b"C" * 12345)
                    self.curl(*tls, "-C", "-", "-o", out, self.url(host, "blob.bin"))
                    self.assertEqual(read(out), b"C" * 12345 + self.payload[12345:])
                    target = self.path("curl-up.bin")
                    write(target, self.payload[:5000])
                    src = os.path.join(self.work, "src.bin")
                    write(src, self.payload)
                    self.curl(*tls, "-C", "-", "-T", src, self.url(host, "curl-up.bin"))
                    self.assertEqual(read(target), self.payload)
        self.assertIn("Command: EPSV", self.inst.log())

    def test_a_range_cut_short_is_aborted_cleanly(self):
        out = os.path.join(self.work, "range.bin")
        before = self.inst.log().count("Command: ABOR")
        self.curl("-r", "0-99", "-o", out, self.url("127.0.0.1", "blob.bin"))
        self.assertEqual(read(out), self.payload[:100])
        self.assertGreater(self.inst.log().count("Command: ABOR"), before)
        # The server goes on serving.
        self.curl("-o", out, self.url("127.0.0.1", "blob.bin"))
        self.assertEqual(read(out), self.payload)


@unittest.skipUnless(WGET, "wget is not installed")
class Wget(ClientCase):
    def test_continue(self):
        for host in self.hosts():
            for scheme in ("ftp", "ftps"):
                with self.subTest(host=host, scheme=scheme):
                    out = os.path.join(self.work, "w.bin")
                    write(out, b"W" * 4321)
                    url = self.url(host, "blob.bin").replace("ftp://", "%s://%s:%s@" % (
                        scheme, USER[0], USER[1]), 1)
                    self.run_client([WGET, "-q", "-c", "--no-check-certificate", "-t", "1",
                                     "-T", "30", "-O", out, url])
                    self.assertEqual(read(out), b"W" * 4321 + self.payload[4321:])
        self.assertIn("Command: REST", self.inst.log())


@unittest.skipUnless(LFTP, "lftp is not installed")
class Lftp(ClientCase):
    def lftp(self, host, tls, *commands, mlsd=True):
        script = "; ".join([
            "set cmd:fail-exit yes", "set net:max-retries 1", "set net:timeout 20",
            "set ssl:verify-certificate no", "set ftp:ssl-allow %s" % ("yes" if tls else "no"),
            "set ftp:ssl-force %s" % ("yes" if tls else "no"),
            "set ftp:ssl-protect-data %s" % ("yes" if tls else "no"),
            "set ftp:use-mlsd %s" % ("yes" if mlsd else "no"),
            "open -u %s,%s -p %d %s" % (USER[0], USER[1], self.inst.port, host),
            *commands, "bye"])
        return self.run_client([LFTP, "-c", script])

    def tree_files(self, top):
        found = {}
        for d, _, files in os.walk(top):
            for f in files:
                p = os.path.join(d, f)
                found[os.path.relpath(p, top)] = read(p)
        return found

    def test_mirror_both_ways(self):
        for host in self.hosts():
            for tls in (False, True):
                for mlsd in (True, False):
                    with self.subTest(host=host, tls=tls, mlsd=mlsd):
                        tag = "%s-%s-%s" % (host.replace(":", "_"), tls, mlsd)
                        local = os.path.join(self.work, "down-" + tag)
                        self.lftp(host, tls, "mirror tree %s" % local, mlsd=mlsd)
                        want = self.tree_files(self.path("tree"))
                        self.assertEqual(self.tree_files(local), want)
                        self.lftp(host, tls, "mirror -R %s up-%s" % (local, tag), mlsd=mlsd)
                        self.assertEqual(self.tree_files(self.path("up-" + tag)), want)
                        # Times travelled with the files (MFMT, then MDTM/MLSD).
                        self.assertEqual(int(os.stat(os.path.join(local, "one.bin")).st_mtime),
                                         int(os.stat(self.path("tree", "one.bin")).st_mtime))

    def test_resume_cls_and_find(self):
        for host in self.hosts():
            for tls in (False, True):
                with self.subTest(host=host, tls=tls):
                    # Marked prefixes show that only the rest travelled.
                    part = os.path.join(self.work, "part.bin")
                    write(part, b"L" * 30000)
                    write(self.path("lftp-up.bin"), b"U" * 20000)
                    src = os.path.join(self.work, "src.bin")
                    write(src, self.payload)
                    r = self.lftp(host, tls, "get -c blob.bin -o %s" % part,
                                  "put -c %s -o lftp-up.bin" % src, "cls -1 tree/a", "find tree")
                    self.assertEqual(read(part), b"L" * 30000 + self.payload[30000:])
                    self.assertEqual(read(self.path("lftp-up.bin")),
                                     b"U" * 20000 + self.payload[20000:])
                    self.assertEqual(r.stdout.decode().split("\n"), [
                        "tree/a/b/", "tree/a/two.bin",  # cls
                        "tree/", "tree/a/", "tree/a/b/", "tree/a/b/three.txt", "tree/a/two.bin",
                        "tree/one.bin", ""])
        log = self.inst.log()
        self.assertIn("Command: REST", log)
        self.assertIn("Command: MLSD", log)


class Ftplib(ClientCase):
    def client(self, host, tls):
        f = ftplib.FTP_TLS(context=h.client_tls_context()) if tls else ftplib.FTP()
        self.addCleanup(f.close)
        f.connect(host, self.inst.port, timeout=30)
        if tls:
            f.auth()
        f.login(*USER)
        if tls:
            f.prot_p()
        return f

    def test_mlsd_nlst_rest_and_abort(self):
        with open(self.path("endless.bin"), "wb") as out:
            out.truncate(512 << 20)
        for host in self.hosts():
            for tls in (False, True):
                with self.subTest(host=host, tls=tls):
                    f = self.client(host, tls)
                    facts = dict(f.mlsd("tree"))
                    self.assertEqual(facts["one.bin"]["size"], "1000")
                    self.assertEqual(facts["a"]["type"], "dir")
                    self.assertEqual(facts["."]["type"], "cdir")
                    self.assertEqual(sorted(f.nlst("tree")), ["a", "one.bin"])
                    got = io.BytesIO()
                    f.retrbinary("RETR blob.bin", got.write, rest=700000)
                    self.assertEqual(got.getvalue(), self.payload[700000:])
                    conn = f.transfercmd("RETR endless.bin")
                    conn.recv(8192)
                    self.assertEqual(f.abort(), ABORTED)
                    self.assertEqual(f.voidresp(), "226 Abort successful.")
                    conn.close()
                    self.assertEqual(f.pwd(), "/")
                    self.assertTrue(f.quit().startswith("221"))


if __name__ == "__main__":
    unittest.main()
