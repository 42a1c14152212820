"""The server without root: run-as drops to an account after binding, and an
unprivileged account runs the server from a registry it may only read.

These tests create a real unprivileged account for themselves (useradd) and
remove it afterwards, so they need root; otherwise they are skipped.
"""
import os
import pwd
import shutil
import subprocess
import tempfile
import unittest

import test_tls as T
import torva_harness as h
from test_operations import CURL, LFTP, USER, curl, lftp

ACCOUNT = "tvop%d" % (os.getpid() % 100000)
IS_ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
USERADD = shutil.which("useradd")


def proc_ids(pid):
    """(uids, gids, groups) of a running process from /proc."""
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return ([int(x) for x in fields["Uid"]], [int(x) for x in fields["Gid"]],
            sorted(int(x) for x in fields["Groups"]))


@unittest.skipUnless(IS_ROOT and USERADD,
                     "needs root and useradd to create an unprivileged test account")
class UnprivilegedCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        r = subprocess.run([USERADD, "--system", "--no-create-home", "--user-group",
                            "--shell", "/usr/sbin/nologin", ACCOUNT], capture_output=True)
        if r.returncode not in (0, 9):  # 9: the account is there already
            raise unittest.SkipTest("useradd failed: %s" % r.stderr.decode())
        cls.addClassCleanup(subprocess.run, ["userdel", ACCOUNT], capture_output=True)
        entry = pwd.getpwnam(ACCOUNT)
        cls.uid, cls.gid = entry.pw_uid, entry.pw_gid

    def instance(self, config, tls=False):
        """An instance set up as the README tells an administrator to: the
        registry readable, the user directory, the users' tree and the
        disconnect directory the account's own. The user is added by root
        afterwards, as tvmkuser is run with sudo."""
        inst = h.Instance(config=config, tls=tls)
        self.addCleanup(inst.__exit__, None, None, None)
        os.chmod(inst.dir, 0o755)
        for d in (inst.root, inst.dc_dir, inst.user_dir):
            os.chown(d, self.uid, self.gid)
        inst.add_user(*USER)
        user_file = os.path.join(inst.user_dir, os.listdir(inst.user_dir)[0])
        self.assertEqual((self.owner(user_file), os.stat(user_file).st_mode & 0o777),
                         (self.uid, 0o600))
        return inst

    def owner(self, path):
        return os.stat(path).st_uid


class RunAsTest(UnprivilegedCase):
    CONFIG = {"auth-mechanism": "TLS", "require-tls": "on", "tls13": "on",
              "require-ssl-reuse": "on", "run-as": ACCOUNT}

    def test_drops_after_binding_and_serves_curl_and_lftp_over_tls(self):
        inst = self.instance(self.CONFIG, tls=True)
        inst.start()
        self.assertIn("Running as %s." % ACCOUNT, inst.log())
        uids, gids, groups = proc_ids(inst.proc.pid)
        self.assertEqual(uids, [self.uid] * 4)
        self.assertEqual(gids, [self.gid] * 4)
        self.assertNotIn(0, groups)  # root's group list is gone
        payload = os.urandom(300000)
        h.write(os.path.join(inst.root, "blob.bin"), payload)
        work = tempfile.mkdtemp(prefix="torva-runas-")
        self.addCleanup(shutil.rmtree, work, True)
        up = os.path.join(work, "up.bin")
        h.write(up, payload[::-1])
        if CURL:
            url = "ftp://127.0.0.1:%d/" % inst.port
            self.assertIn(b"blob.bin", curl(url))
            self.assertEqual(curl(url + "blob.bin"), payload)
            curl("-T", up, url + "curl.bin")
            self.assertEqual(h.read(os.path.join(inst.root, "curl.bin")), payload[::-1])
            self.assertEqual(self.owner(os.path.join(inst.root, "curl.bin")), self.uid)
        if LFTP:
            got = os.path.join(work, "got.bin")
            out = lftp(inst.port, "cls -1", "get blob.bin -o " + got, "put %s -o lftp.bin" % up)
            self.assertIn(b"blob.bin", out)
            self.assertEqual(h.read(got), payload)
            self.assertEqual(self.owner(os.path.join(inst.root, "lftp.bin")), self.uid)
        if not (CURL or LFTP):
            self.skipTest("neither curl nor lftp is installed")

    def test_an_unknown_account_stops_start_up(self):
        inst = self.instance({"run-as": "no-such-account-here"})
        self.assertEqual(inst.start(expect_failure=True), 255)
        self.assertIn("Cannot run as no-such-account-here. (1332)", inst.log())


class UnprivilegedServerTest(UnprivilegedCase):
    def start_as_account(self, config):
        inst = self.instance(config)
        inst.popen_kwargs = {"user": self.uid, "group": self.gid, "extra_groups": []}
        return inst

    def test_reads_a_registry_it_may_not_write(self):
        inst = self.start_as_account({})
        # The registry stays root's, readable by all; the server only reads it.
        self.assertEqual(self.owner(inst.registry), 0)
        before = h.read(inst.registry)
        inst.start()
        h.write(os.path.join(inst.root, "f.txt"), b"hello")
        with inst.connect() as c:
            self.assertEqual(c.reply(), "220 Torva Server is ready.")
            c.login(*USER)
            self.assertEqual(c.cmd("SIZE f.txt"), "213 5")
            self.assertTrue(c.cmd("MKD made").startswith("257 "))
        self.assertEqual(self.owner(os.path.join(inst.root, "made")), self.uid)
        self.assertEqual(h.read(inst.registry), before)

    def test_cannot_switch_to_another_account_without_privileges(self):
        inst = self.start_as_account({"run-as": "root"})
        self.assertEqual(inst.start(expect_failure=True), 255)
        self.assertIn("Cannot run as root. (5)", inst.log())


if __name__ == "__main__":
    unittest.main()
