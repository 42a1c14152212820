"""The server process and its sessions, driven from outside: start-up and its
failures, the greeting, request framing and checks, time-outs, the connection
limit, the stop file and the console signals."""
import fcntl
import os
import re
import signal
import socket
import threading
import time
import unittest

from torva_harness import Instance, RawClient, ServerCase

GREETING = "220 Torva Server is ready."


class StartupTest(unittest.TestCase):
    def test_banner_settings_listing_and_start_line(self):
        with Instance(config={"time-flag": "on", "ready-message": "Hello there"}) as inst:
            inst.start()
            log = inst.log()
            banner = ("\n===============================\n   Starting the Torva Server   \n"
                      "===============================\n<Runtime Information>\n - Major Version = ")
            self.assertTrue(log.startswith(banner), log[:300])
            for line in (" - Platform ID = 2", "SHOW CONFIG - START", "ready-message: [Hello there]",
                         "SHOW CONFIG - END", "Torva server is started."):
                self.assertIn(line, log)
            self.assertLess(log.index("SHOW CONFIG - END"), log.index("Torva server is started."))
            # Time prefix: yy/mm/dd hh:mm:ss and the thread id in 8 hex digits.
            self.assertRegex(log, r"\n\d\d/\d\d/\d\d \d\d:\d\d:\d\d [0-9A-F]{8} \[I\] Torva server is started\.")
            with inst.connect() as c:
                self.assertEqual(c.reply(), "220 Hello there")

    def test_start_up_failures_exit_255_with_their_message(self):
        cases = [
            ({"args": ["/nonexistent/torvad.conf"]}, "/nonexistent/torvad.conf was not found!"),
            ({"config": {"socket-domain": "AF_BOGUS"}}, "socket-domain=AF_BOGUS is not support."),
            ({"config": {"bind-host": "no-such-host.invalid"}}, "Failed gethostbyname() errno="),
            ({"config": {"socket-domain": None}}, "Failed socket() errno="),
        ]
        for kwargs, message in cases:
            with self.subTest(message=message):
                with Instance(config=kwargs.get("config")) as inst:
                    rc = inst.start(expect_failure=True, args=kwargs.get("args"))
                    self.assertEqual(rc, 255, inst.log())
                    self.assertIn(message, inst.log())

    def test_port_in_use_fails_bind(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            with Instance(config={"bind-port": str(port)}) as inst:
                rc = inst.start(expect_failure=True)
                self.assertEqual(rc, 255)
                self.assertIn("Failed bind() errno=10048", inst.log())

    def test_unreadable_disconnect_directory_setting_stops_start_up(self):
        with Instance(registry={"DisconnectDir": None}) as inst:
            rc = inst.start(expect_failure=True)
            self.assertEqual(rc, 255)
            self.assertIn('Cannot query the registry "DisconnectDir". (2)', inst.log())


class RequestTest(ServerCase):
    CONFIG = {"log-level": "5", "dump-log": "on"}
    USERS = [("bob", "pw")]
    GREETING = GREETING

    @classmethod
    def prepare(cls, inst):
        inst.env["TVS_DUMP"] = "1"

    def client(self):
        return self.greeted()

    def test_framing_split_packets_and_pipelined_commands(self):
        with self.client() as c:
            c.send("US")
            time.sleep(0.2)
            c.send("ER bob\r")
            time.sleep(0.2)
            c.send("\n")
            self.assertEqual(c.reply(), "331 User name okay, need password.")
            self.assertEqual(c.cmd("PASS pw"), "230 User logged in, proceed.")
            c.send("PWD\r\nCWD /\r\nxpwd\r\n")
            self.assertEqual(c.reply(), '257 "\\" is CWD.')
            self.assertEqual(c.reply(), '250 "\\" is new CWD.')
            self.assertEqual(c.reply(), '257 "\\" is CWD.')
        self.assertTrue(self.inst.wait_log("*** DUMP(Received Data / size=2) ***"))
        self.assertIn("OFST : +0 +1 +2 +3 +4 +5 +6 +7 - +8 +9 +A +B +C +D +E +F : ASCII", self.inst.log())
        self.assertIn("TransMain() start / TransMain:", self.inst.log())

    def test_line_length_limit(self):
        with self.client() as c:
            ok = "USER " + "a" * 1017  # 1022 characters, then CR LF: 1024 bytes
            self.assertEqual(c.cmd(ok), "331 User name okay, need password.")
            self.assertEqual(c.cmd(ok + "a"), "500 The command line too long.")
            self.assertTrue(c.closed())

    def test_unterminated_request_is_dropped_silently(self):
        with self.client() as c:
            c.send("x" * 5000)
            self.assertTrue(c.closed())
            self.assertEqual(c.buf, b"")

    def test_character_check_and_lower_case_words(self):
        with self.client() as c:
            self.assertEqual(c.cmd("user bob"), "331 User name okay, need password.")
            self.assertEqual(c.cmd("USER b\x82b"), "500 The character-code that cannot be treated is included.")
            self.assertTrue(c.closed())
        with self.client() as c:
            c.send(b"USER a\x00b\r\n")
            self.assertEqual(c.reply(), "500 The character-code that cannot be treated is included.")
            self.assertTrue(c.closed())

    def test_unknown_command_keeps_the_session_by_default(self):
        with self.client() as c:
            self.assertEqual(c.cmd("FROB x"), "502 Command not implemented.")
            self.assertEqual(c.cmd("ACCT x"), "502 Command not implemented.")
            self.assertEqual(c.cmd("USER bob"), "331 User name okay, need password.")

    def test_vanishing_clients_leave_the_server_serving(self):
        for payload in (b"", b"USER bo", b"\xff\xfe\x00garbage\r\n", b"PASS\r\n" * 50):
            s = socket.create_connection(("127.0.0.1", self.inst.port))
            s.sendall(payload)
            s.close()
        with self.client() as c:
            self.assertEqual(c.cmd("USER bob"), "331 User name okay, need password.")


class SessionOptionTest(unittest.TestCase):
    def test_code_no_check_passes_high_bytes(self):
        with Instance(config={"code-no-check": "on"}) as inst:
            inst.start()
            with inst.connect() as c:
                c.reply()
                self.assertEqual(c.cmd("USER b\x82b"), "331 User name okay, need password.")
                self.assertIn("USER: [b\x82b]", inst.log())

    def test_unknown_command_close_and_switched_off_commands(self):
        with Instance(config={"unknown-command": "close"}, lines=["ignore-command=USER"]) as inst:
            inst.start()
            with inst.connect() as c:
                c.reply()
                self.assertEqual(c.cmd("USER bob"), "502 Command not implemented.")
                self.assertTrue(c.closed())

    def test_silent_client_is_dropped_after_the_session_timeout(self):
        with Instance(config={"session-timeout": "1"}) as inst:
            inst.start()
            with inst.connect() as c:
                c.reply()
                start = time.time()
                self.assertTrue(c.closed(timeout=5))
                self.assertEqual(c.buf, b"")
                self.assertLess(time.time() - start, 4)
            self.assertTrue(inst.wait_log("Session timeout. (1sec)"))

    def test_delayed_greeting(self):
        with Instance(config={"delayed-response": "700"}) as inst:
            inst.start()
            start = time.time()
            with inst.connect() as c:
                self.assertEqual(c.reply(), GREETING)
                self.assertGreaterEqual(time.time() - start, 0.6)

    def test_long_log_lines_are_cut_at_255_characters(self):
        with Instance(lines=["unknown-key=" + "v" * 400]) as inst:
            inst.start()
            line = next(l for l in inst.log().splitlines() if "Unknown Config" in l)
            self.assertEqual(len(line), len("[W] ") + 255)


class ConnectionLimitTest(unittest.TestCase):
    def test_third_client_waits_in_the_backlog_until_a_session_ends(self):
        with Instance(config={"max-connect": "2"}) as inst:
            inst.start()
            a, b = inst.connect(), inst.connect()
            self.assertEqual(a.reply(), GREETING)
            self.assertEqual(b.reply(), GREETING)
            c = inst.connect()
            c.sock.settimeout(1.5)
            with self.assertRaises(socket.timeout):
                c.line()
            a.cmd("QUIT")
            a.close()
            c.sock.settimeout(10)
            self.assertEqual(c.line(), GREETING)
            for x in (b, c):
                x.close()

    def test_two_hundred_clients_at_once_are_all_greeted(self):
        with Instance() as inst:
            inst.start()
            results = []
            lock = threading.Lock()
            barrier = threading.Barrier(200)

            def one():
                try:
                    barrier.wait(timeout=30)
                    with RawClient(inst.port, timeout=30) as c:
                        r = c.reply()
                except Exception as e:  # noqa: BLE001 - reported below
                    r = repr(e)
                with lock:
                    results.append(r)

            threads = [threading.Thread(target=one) for _ in range(200)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(60)
            self.assertEqual(results.count(GREETING), 200, [r for r in results if r != GREETING][:5])


class TerminationTest(unittest.TestCase):
    def test_signals_end_the_server_promptly_with_status_0(self):
        for sig, code in ((signal.SIGINT, 0), (signal.SIGTERM, 6)):
            with self.subTest(sig=sig):
                with Instance() as inst:
                    inst.start()
                    clients = [inst.connect() for _ in range(50)]
                    for c in clients:
                        c.reply()
                    start = time.time()
                    rc = inst.stop(sig)
                    self.assertEqual(rc, 0)
                    self.assertLess(time.time() - start, 1.0)
                    self.assertIn("Received the terminating signal. (%d)" % code, inst.log())
                    self.assertEqual(inst.log().count("Terminating. ("), 50)
                    # Sessions ended by the shutdown are not counted as failures.
                    self.assertNotIn("Adding the failure-list.", inst.log())
                    for c in clients:
                        c.close()

    def test_stop_file_ends_the_server_only_once_nobody_holds_it(self):
        with Instance(stop_file=True) as inst:
            holder = open(inst.stop_path, "w")
            fcntl.flock(holder, fcntl.LOCK_EX)
            inst.start()
            time.sleep(1.0)
            self.assertIsNone(inst.proc.poll(), "server stopped while the file was held")
            holder.close()
            self.assertEqual(inst.proc.wait(timeout=10), 0)
            self.assertFalse(os.path.exists(inst.stop_path))
            self.assertIn("Received the terminating signal. (0)", inst.log())

    def test_missing_stop_file_keeps_the_server_running(self):
        with Instance(stop_file=True) as inst:
            inst.start()
            time.sleep(0.6)
            self.assertIsNone(inst.proc.poll())
            open(inst.stop_path, "w").close()
            self.assertEqual(inst.proc.wait(timeout=10), 0)


if __name__ == "__main__":
    unittest.main()
