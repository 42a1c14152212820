"""The login-failure list and the disconnect list of a running server:
failure-limit, disconnect files, tvunban, disconnect masks and failure-keep.

Clients come from several loopback addresses (127.0.0.x), all of which reach
the server listening on 127.0.0.1.
"""
import os
import socket
import time
import unittest

import torva_harness as h

GREETING = "220 Torva Server is ready."


def dca(dc_dir, address):
    return os.path.join(dc_dir, "%02X%02X%02X%02X.dca" % tuple(int(p) for p in address.split(".")))


class Client(h.RawClient):
    """A control connection from a chosen loopback address."""

    def __init__(self, port, source="127.0.0.1", timeout=10):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout,
                                             source_address=(source, 0))
        self.buf = b""


class BanCase(unittest.TestCase):
    config = {}
    lines = ()

    def setUp(self):
        self.inst = h.Instance(config=self.config, lines=self.lines)
        self.addCleanup(self.inst.__exit__, None, None, None)
        self.inst.add_user("alice", "pw1")

    def connect(self, source="127.0.0.1"):
        c = Client(self.inst.port, source)
        self.addCleanup(c.close)
        return c

    def greeted(self, source="127.0.0.1"):
        c = self.connect(source)
        self.assertEqual(c.reply(), GREETING)
        return c

    def turned_away(self, source="127.0.0.1"):
        """The server closes the connection before any greeting."""
        c = self.connect(source)
        self.assertTrue(c.closed())
        self.assertEqual(c.buf, b"", source)
        self.assertTrue(self.inst.wait_log("Disconnected. (%s)" % source))

    def wait_count(self, text, n, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.inst.log().count(text) >= n:
                return
            time.sleep(0.02)
        self.fail("%r not %d times in:\n%s" % (text, n, self.inst.log()[-3000:]))

    def sessions_closed(self, n):
        self.wait_count("FTP session is closing.", n)


class FailureLimitTest(BanCase):
    config = {"failure-limit": "3", "failure-keep": "on"}

    def fail_once(self, how):
        c = self.greeted()
        if how == "password":
            self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
            self.assertEqual(c.cmd("PASS wrong"), "530 Not logged in.")
        elif how == "quit":
            self.assertEqual(c.cmd("QUIT"), "503 Bad sequence of commands.")
        elif how == "user-only":
            self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
            c.close()
        else:
            c.close()
        if how != "user-only" and how != "hang-up":
            self.assertTrue(c.closed())

    def succeed_once(self):
        c = self.greeted()
        c.login("alice", "pw1")
        self.assertEqual(c.cmd("QUIT"), "221 Service closing control connection.")
        self.assertTrue(c.closed())

    def test_limit_ban_unban_and_restart(self):
        inst = self.inst
        ban = dca(inst.dc_dir, "127.0.0.1")
        inst.start()
        count = "Failure count of 127.0.0.1: %d"

        # Two failures, then a log-in resets the count.
        self.fail_once("password")
        self.wait_count(count % 1, 1)
        self.fail_once("quit")
        self.wait_count(count % 2, 1)
        self.succeed_once()
        self.wait_count(count % 0, 1)
        self.assertFalse(os.path.exists(ban))

        # Three more failures of any kind reach the limit.
        self.fail_once("hang-up")
        self.wait_count(count % 1, 2)
        self.fail_once("user-only")
        self.wait_count(count % 2, 2)
        self.assertFalse(os.path.exists(ban))
        self.fail_once("password")
        self.wait_count(count % 3, 1)
        self.wait_count("Return value of discon_add=0", 1)
        self.assertTrue(os.path.isfile(ban))
        self.assertEqual(os.path.getsize(ban), 0)
        self.assertEqual(os.listdir(inst.dc_dir), ["7F000001.dca"])
        self.assertEqual(inst.access_log().count("Added to the disconnect list: 127.0.0.1"), 1)

        # The next connection is closed at once and is not counted.
        self.turned_away()
        self.greeted("127.0.0.2").close()

        r = h.run("tvunban", "127.0.0.1", env=inst.env)
        self.assertEqual(r.returncode, 0, r)
        self.assertFalse(os.path.exists(ban))
        self.succeed_once()
        self.wait_count(count % 0, 2)

        # The address was banned once in this run: reaching the limit again
        # writes no second file.
        for how in ("password", "quit", "password"):
            self.fail_once(how)
        self.wait_count(count % 3, 2)
        self.sessions_closed(11)
        self.assertFalse(os.path.exists(ban))
        self.assertEqual(inst.access_log().count("Added to the disconnect list: 127.0.0.1"), 1)
        self.greeted().close()

        # failure-keep on: a ban (and anything else there) outlives a restart.
        r = h.run("tvban", "127.0.0.1", env=inst.env)
        self.assertEqual(r.returncode, 0, r)
        r = h.run("tvban", "2001:db8::1", env=inst.env)
        self.assertEqual(r.returncode, 0, r)
        ban6 = os.path.join(inst.dc_dir, "20010DB8000000000000000000000001.dca")
        self.assertTrue(os.path.isfile(ban6))
        with open(os.path.join(inst.dc_dir, "notes.txt"), "w") as f:
            f.write("foreign file")
        os.makedirs(os.path.join(inst.dc_dir, "keepdir", "inner"))
        self.assertEqual(inst.stop(), 0)
        inst.start()
        self.assertNotIn("Deletes", inst.log())
        self.turned_away()
        self.assertTrue(os.path.isfile(os.path.join(inst.dc_dir, "notes.txt")))

        # failure-keep off: the disconnect files go at start-up; other files
        # and directories are not the server's and stay.
        self.assertEqual(inst.stop(), 0)
        inst.config["failure-keep"] = "off"
        inst.start()
        log = inst.log()
        self.assertIn('Deletes "%s".' % ban, log)
        self.assertIn('Deletes "%s".' % ban6, log)
        self.assertEqual(log.count("Deletes "), 2)
        self.assertEqual(sorted(os.listdir(inst.dc_dir)), ["keepdir", "notes.txt"])
        self.assertEqual(os.listdir(os.path.join(inst.dc_dir, "keepdir")), ["inner"])
        self.greeted().close()


class NoDirectoryValueTest(unittest.TestCase):
    """Without DisconnectDir the clean-up cannot run; a kept list lets clients in."""

    def instance(self, **config):
        inst = h.Instance(config=config, registry={"DisconnectDir": None})
        self.addCleanup(inst.__exit__, None, None, None)
        return inst

    def test_cleanup_needs_the_value(self):
        inst = self.instance(**{"failure-keep": "off"})
        self.assertEqual(inst.start(expect_failure=True), 255)
        self.assertIn('Cannot query the registry "DisconnectDir". (2)', inst.log())
        self.assertNotIn("Torva server is started.", inst.log())

    def test_clients_are_let_in_and_the_value_is_read_again(self):
        inst = self.instance(**{"failure-keep": "on", "failure-limit": "1"})
        inst.start()
        for _ in range(2):
            c = Client(inst.port)
            self.addCleanup(c.close)
            self.assertEqual(c.reply(), GREETING)
            self.assertEqual(c.cmd("QUIT"), "503 Bad sequence of commands.")
            self.assertTrue(c.closed())
        self.assertTrue(inst.wait_log("Failure count of 127.0.0.1: 2"))
        deadline = time.time() + 10
        while inst.log().count("Return value of discon_add=") < 2 and time.time() < deadline:
            time.sleep(0.02)
        log = inst.log()
        # Each accept asked again, and so did each failure: a ban that could
        # not be written is tried again instead of being taken as done.
        self.assertEqual(log.count('Cannot query the registry "DisconnectDir". (2)'), 4, log)
        self.assertEqual(log.count("Return value of discon_add=-1"), 2, log)
        self.assertNotIn("Added to the disconnect list", inst.access_log())


class ZeroLimitTest(BanCase):
    config = {"failure-keep": "on"}

    def test_nothing_is_counted_but_files_still_ban(self):
        self.assertEqual(h.run("tvban", "127.0.0.2", env=self.inst.env).returncode, 0)
        self.inst.start()
        self.turned_away("127.0.0.2")
        for _ in range(4):
            c = self.greeted()
            self.assertEqual(c.cmd("USER alice"), "331 User name okay, need password.")
            self.assertEqual(c.cmd("PASS wrong"), "530 Not logged in.")
            self.assertTrue(c.closed())
        self.sessions_closed(4)
        self.greeted().close()
        self.assertNotIn("Failure count", self.inst.log())
        self.assertNotIn("Added to the disconnect list", self.inst.access_log())
        self.assertEqual(os.listdir(self.inst.dc_dir), ["7F000002.dca"])


class DisconnectMaskTest(BanCase):
    config = {"failure-limit": "1",
              "disconnect": ["10.1.2", "127.0.0.0/255.0.0.0", "10.0.0.0/255.0"]}

    def test_mask_bans_every_loopback_client(self):
        self.inst.start()
        log = self.inst.log()
        self.assertIn("disconnect format error. (10.1.2)", log)
        self.assertIn("disconnect format error. (10.0.0.0/255.0)", log)
        self.assertIn("disconnect: 127.0.0.0 (255.0.0.0)", log)
        self.assertEqual(log.count("disconnect: "), 1)
        for source in ("127.0.0.1", "127.0.0.9", "127.1.2.3"):
            self.turned_away(source)
        # Turned-away connections never become sessions, so nothing is counted.
        self.assertNotIn("Failure count", self.inst.log())
        self.assertEqual(os.listdir(self.inst.dc_dir), [])


class DisconnectEntriesTest(BanCase):
    config = {"disconnect": ["10.1.0.0/255.255.0.0", "127.0.0.2", "127.0.0.3",
                             "127.0.5.0/255.255.255.0"]}

    def test_only_matching_clients_are_turned_away(self):
        self.inst.start()
        log = self.inst.log()
        self.assertIn("disconnect: 10.1.0.0 (255.255.0.0)", log)
        self.assertIn("disconnect: 127.0.0.2 (255.255.255.255)", log)
        self.assertIn("disconnect: 127.0.0.3 (255.255.255.255)", log)
        for source in ("127.0.0.2", "127.0.0.3", "127.0.5.1", "127.0.5.254"):
            self.turned_away(source)
        for source in ("127.0.0.1", "127.0.0.4", "127.0.6.1", "127.1.0.2"):
            c = self.greeted(source)
            c.login("alice", "pw1")
        self.assertNotIn("Disconnected. (127.0.0.1)", self.inst.log())


if __name__ == "__main__":
    unittest.main()
