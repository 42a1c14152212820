"""The server run as a service: tvinstall, tvlaunch, tvhalt and the service
host tvwatch, on the service table (and systemd's side that works without a
running systemd: unit files and sd_notify messages).

Every test has its own installation directory, registry store
(TORVA_REGISTRY), run-time directory (TORVA_RUNTIME_DIR) and event log
(TORVA_EVENTLOG), and ends every process it started, by PID.
"""
import ftplib
import io
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
import torva_harness as h  # noqa: E402

LIB = os.environ.get("TORVA_LIB") or os.path.join(h.BIN, "..", "lib")
SETTINGS = r"HKLM\SOFTWARE\MORVEK SOFTWARE\Torva Server"
ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
SERVICE = r"HKLM\SYSTEM\CurrentControlSet\Services\torvad"
SOURCE = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Torva Server"
EVENT_LINE = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t(\w+)\t(.*?)\t(\d+)\t(.*)$")

# Stand-ins for the server, written as <dir>/bin/torvad.
ARGS_THEN_EXIT = """#!/bin/sh
printf '%s\\n' "$0" "$1" "$2"
sleep 2
exit {code}
"""
# Ignores the stop file and every catchable signal, and leaves a child and a
# grandchild behind that do the same.
STUBBORN = """#!/bin/sh
trap '' TERM INT HUP QUIT
sh -c 'trap "" TERM INT HUP QUIT; sleep 300 & echo "grandchild $!"; wait' &
echo "child $!"
echo "server $$"
# One long sleep rather than many short ones: a child that ends on its own
# between the host's snapshot and its kill would add an OpenProcess() event.
while :; do sleep 300; done
"""
# Writes `out` bytes to standard output and `err` to standard error, then
# stops as the real server does: when it manages to delete its stop file.
CHATTY = """#!/bin/sh
python3 -c 'import sys
for i in range({out} // 16): sys.stdout.write("out %011d\\n" % i)
sys.stdout.flush()
for i in range({err} // 16): sys.stderr.write("err %011d\\n" % i)'
while :; do
  if flock -n -x "$2" rm -f "$2" 2>/dev/null; then exit 0; fi
  sleep 0.2
done
"""


def alive(pid):
    """True while the process exists and has not ended (zombies have ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False


def descendants(pid):
    children = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(name))
            except (OSError, IndexError, ValueError):
                pass
    out, todo = [], [pid]
    while todo:
        for c in children.get(todo.pop(), []):
            if c not in out:
                out.append(c)
                todo.append(c)
    return out


def greeting(port):
    """The first bytes the server at `port` sends, or b"" while nobody listens."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
            return s.recv(100)
    except OSError:
        return b""


def wait_for(predicate, timeout=15):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()


class ServiceCase(unittest.TestCase):
    manager = "table"

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="torva-svc-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        # A blank in the installation directory: the image path is passed
        # unquoted, as on Windows.
        self.inst = os.path.join(self.tmp, "inst dir")
        for d in ("bin", "lib", "conf", "log", "sys", "users", "dclist", "root"):
            os.makedirs(os.path.join(self.inst, d))
        os.symlink(h.program("tvwatch"), os.path.join(self.inst, "bin", "tvwatch"))
        os.symlink(os.path.join(LIB, "libtvevents.so"),
                   os.path.join(self.inst, "lib", "libtvevents.so"))
        self.env = dict(os.environ, TORVA_REGISTRY=os.path.join(self.tmp, "registry.reg"),
                        TORVA_RUNTIME_DIR=os.path.join(self.tmp, "run"),
                        TORVA_EVENTLOG=os.path.join(self.tmp, "events.log"),
                        TORVA_SERVICE_MANAGER=self.manager,
                        TORVA_SYSTEMD_DIR=os.path.join(self.tmp, "systemd"))
        for var in ("TORVA_SERVICE_NAME", "NOTIFY_SOCKET", "LANG", "LC_ALL", "LC_CTYPE"):
            self.env.pop(var, None)
        self.started = []  # pids to end at clean-up, with their descendants
        self.addCleanup(self.end_processes)

    def own(self, proc):
        """Ends a process this test started (and reaps it) at clean-up."""
        self.started.append(proc.pid)
        self.addCleanup(lambda: (proc.kill() if proc.poll() is None else None, proc.wait()))
        return proc

    # ---- processes ----
    def run_cmd(self, name, *args, timeout=60):
        p = subprocess.run([h.program(name), *args], env=self.env, capture_output=True,
                           stdin=subprocess.DEVNULL, timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")

    def service_pid(self):
        try:
            with open(os.path.join(self.tmp, "run", "torvad.status")) as f:
                return int(f.readline().split()[1])
        except (FileNotFoundError, IndexError, ValueError):
            return None

    def end_processes(self):
        pid = self.service_pid()
        pids = list(self.started) + ([pid] if pid else [])
        for p in list(pids):
            pids += descendants(p)
        for p in pids:
            if alive(p):
                try:
                    os.kill(p, signal.SIGKILL)
                except ProcessLookupError:
                    pass

    # ---- registry ----
    def reg(self, *args):
        return self.run_cmd("tvreg", *args)

    def reg_value(self, key, name):
        """(type, data) as tvreg shows it, or None."""
        rc, out, _ = self.reg("query", key, "/v", name)
        if rc != 0:
            return None
        for line in out.splitlines():
            parts = line.strip("\r").split("    ")
            if len(parts) >= 3 and parts[1] == name:
                return parts[2], (parts[3] if len(parts) > 3 else "")
        return None

    def reg_set(self, key, name, data, type_="REG_SZ"):
        rc, out, err = self.reg("add", key, "/v", name, "/t", type_, "/d", data, "/f")
        self.assertEqual(rc, 0, out + err)

    # ---- installation ----
    def server(self, script=None):
        """The real server, or a script standing in for it."""
        path = os.path.join(self.inst, "bin", "torvad")
        if script is None:
            os.symlink(h.program("torvad"), path)
        else:
            with open(path, "w") as f:
                f.write(script)
            os.chmod(path, 0o755)

    def install(self):
        rc, out, err = self.run_cmd("tvinstall", "-r", self.inst)
        self.assertEqual((rc, out, err), (0, "", ""))

    def configure(self, **overrides):
        """Directories, a configuration on a free port and a user for the real server."""
        for cmd in ("tvsetusers", "tvsetcfg", "tvsetban"):
            self.assertEqual(self.run_cmd(cmd, "-init")[0], 0)
        self.port = h.free_port()
        conf = dict(h.BASE_CONFIG, **{"bind-port": str(self.port), "access-log2": "on"})
        conf.update(overrides)
        with open(os.path.join(self.inst, "conf", "torvad.conf"), "w") as f:
            f.writelines(f"{k}={v}\n" for k, v in conf.items())
        rc, out, err = self.run_cmd("tvmkuser", "-u", "alice", "-p", "secret", "-d",
                                    os.path.join(self.inst, "root"), "-w")
        self.assertEqual(rc, 0, out + err)

    def launch(self):
        self.assertEqual(self.run_cmd("tvlaunch"), (255, "Torva Server was started.\n", ""))

    def halt(self):
        self.assertEqual(self.run_cmd("tvhalt"), (255, "Torva Server was stopped.\n", ""))

    def events(self):
        try:
            with open(self.env["TORVA_EVENTLOG"]) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            m = EVENT_LINE.match(line)
            self.assertIsNotNone(m, line)
            self.assertEqual(m.group(2), "Torva Server")
            out.append((m.group(1), int(m.group(3)), m.group(4)))
        return out

    def log(self, name):
        """A log file's text; empty while the host has not made it yet."""
        try:
            with open(os.path.join(self.inst, "log", name), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def wait_stopped(self, timeout=15):
        self.assertTrue(wait_for(lambda: not alive(self.service_pid()), timeout),
                        "the service host did not end")


STARTING = ("Information", 1001, "Starting the Torva Server.")
EXECUTING = ("Information", 1005, "Executing the server command.")
STOPPING = ("Information", 1002, "Stopping the Torva Server.")
ABNORMAL = ("Error", 1003, "Torva Server was abnormal end.")


def api_error(call, number):
    return ("Warning", 1004, f"Detected the API error. (API={call} / ERROR={number})")


class FullCycle(ServiceCase):
    def test_install_launch_session_halt_uninstall(self):
        self.server()
        self.install()
        image = os.path.join(self.inst, "bin", "tvwatch")
        self.assertEqual(self.reg_value(SERVICE, "Type"), ("REG_DWORD", "0x10"))
        self.assertEqual(self.reg_value(SERVICE, "Start"), ("REG_DWORD", "0x2"))
        self.assertEqual(self.reg_value(SERVICE, "ErrorControl"), ("REG_DWORD", "0x1"))
        self.assertEqual(self.reg_value(SERVICE, "ImagePath"), ("REG_EXPAND_SZ", image))
        self.assertEqual(self.reg_value(SERVICE, "DisplayName"), ("REG_SZ", "Torva Server"))
        self.assertEqual(self.reg_value(SERVICE, "ObjectName"), ("REG_SZ", "LocalSystem"))
        self.assertEqual(self.reg_value(SOURCE, "EventMessageFile"),
                         ("REG_EXPAND_SZ", os.path.join(self.inst, "lib", "libtvevents.so")))
        self.assertEqual(self.reg_value(SOURCE, "TypesSupported"), ("REG_DWORD", "0x7"))
        self.assertEqual(self.reg_value(SETTINGS, "Path"), ("REG_EXPAND_SZ", self.inst))
        entry = os.path.join(self.inst, "bin")
        self.assertEqual(self.reg_value(ENVIRONMENT, "Path"), ("REG_EXPAND_SZ", ";" + entry))
        self.configure()

        self.launch()
        host = self.service_pid()
        self.assertTrue(alive(host))
        stop_file = os.path.join(self.inst, "sys", "%08X.lck" % host)
        self.assertTrue(os.path.exists(stop_file))
        server = descendants(host)
        self.assertEqual(len(server), 1, "the host runs one server")
        self.assertTrue(wait_for(lambda: "Torva server is started." in self.log("server.log")))

        with ftplib.FTP() as ftp:
            ftp.connect("127.0.0.1", self.port, timeout=10)
            ftp.login("alice", "secret")
            ftp.storbinary("STOR hello.txt", io.BytesIO(b"through the service\r\n"))
            got = io.BytesIO()
            ftp.retrbinary("RETR hello.txt", got.write)
            self.assertEqual(got.getvalue(), b"through the service\r\n")
            names = []
            ftp.retrlines("NLST", names.append)
            self.assertTrue(any(n.endswith("hello.txt") for n in names), names)
            ftp.quit()
        self.assertTrue(wait_for(lambda: "Success to login." in self.log("server.log")))
        self.assertTrue(wait_for(lambda: "alice" in self.log("access.log")))

        self.assertEqual(self.run_cmd("tvlaunch"), (255, "Torva Server is not stopping.\n", ""))
        self.halt()
        self.wait_stopped()
        self.assertFalse(alive(server[0]))
        self.assertFalse(os.path.exists(stop_file), "the server deleted its stop file")
        self.assertEqual(self.events(), [STARTING, EXECUTING, STOPPING])
        self.assertEqual(self.run_cmd("tvhalt"), (255, "Torva Server is not started.\n", ""))

        self.assertEqual(self.run_cmd("tvinstall", "-u", self.inst), (0, "", ""))
        self.assertIsNone(self.reg_value(SERVICE, "Type"))
        self.assertEqual(self.reg_value(ENVIRONMENT, "Path"), ("REG_EXPAND_SZ", ";"))
        # -u leaves the event source and the installation settings in place.
        self.assertIsNotNone(self.reg_value(SOURCE, "EventMessageFile"))
        self.assertEqual(self.reg_value(SETTINGS, "Path"), ("REG_EXPAND_SZ", self.inst))
        self.assertEqual(self.run_cmd("tvlaunch"), (255, "Can not open the service. (1060)\n", ""))


class InstallCommands(ServiceCase):
    def test_bad_options(self):
        for args in (["-x", self.inst], ["-r"], ["-rr", self.inst], ["-R", self.inst], [],
                     ["r", self.inst]):
            self.assertEqual(self.run_cmd("tvinstall", *args), (1, "Invalied option(s)\n", ""),
                             args)
        self.assertFalse(os.path.exists(self.env["TORVA_REGISTRY"]))

    def test_second_install_and_the_search_path(self):
        entry = os.path.join(self.inst, "bin")
        # Already there as a substring of a longer entry: nothing is appended.
        self.reg_set(ENVIRONMENT, "Path", "/usr/bin;" + entry + "2", "REG_SZ")
        self.install()
        self.assertEqual(self.reg_value(ENVIRONMENT, "Path"), ("REG_SZ", "/usr/bin;" + entry + "2"))
        self.reg_set(SETTINGS, "Path", "/elsewhere", "REG_EXPAND_SZ")
        self.assertEqual(self.run_cmd("tvinstall", "-r", self.inst),
                         (0, "Can not create the service. (1073)\n", ""))
        self.assertEqual(self.reg_value(SETTINGS, "Path"), ("REG_EXPAND_SZ", self.inst))

    def test_uninstall_takes_the_entry_of_the_recorded_path(self):
        self.install()
        other = os.path.join(self.tmp, "other")
        self.reg_set(ENVIRONMENT, "Path", f"/usr/bin;{other}/bin;/opt/x", "REG_EXPAND_SZ")
        self.reg_set(SETTINGS, "Path", other, "REG_EXPAND_SZ")
        # The argument plays no part; only the entry's characters go.
        self.assertEqual(self.run_cmd("tvinstall", "-u", "/not/used"), (0, "", ""))
        self.assertEqual(self.reg_value(ENVIRONMENT, "Path"), ("REG_EXPAND_SZ", "/usr/bin;;/opt/x"))
        self.assertEqual(self.run_cmd("tvinstall", "-u", self.inst),
                         (255, "Can not open the service. (1060)\n", ""))
        self.assertEqual(self.reg_value(ENVIRONMENT, "Path"), ("REG_EXPAND_SZ", "/usr/bin;;/opt/x"))

    def test_uninstall_without_installation_settings(self):
        rc, out, err = self.run_cmd("tvinstall", "-u", self.inst)
        self.assertEqual((rc, out, err), (255, "Can not open the service. (1060)\n",
                                          "RegOpenKeyEx() error=2\n"))

    def test_control_commands_without_the_service(self):
        for cmd in ("tvlaunch", "tvhalt"):
            self.assertEqual(self.run_cmd(cmd, "ignored"),
                             (255, "Can not open the service. (1060)\n", ""))

    def test_login_shells_get_the_entries(self):
        snippet = os.path.join(h.BIN, "..", "etc", "torva-path.sh")
        a, b = os.path.join(self.tmp, "a"), os.path.join(self.tmp, "b c")
        os.makedirs(a)
        os.makedirs(b)
        self.reg_set(ENVIRONMENT, "Path", f";{a};/nonexistent/bin;{b};{a}", "REG_EXPAND_SZ")
        env = dict(self.env, PATH="/usr/bin:/bin")
        out = subprocess.run(["sh", "-c", f". '{snippet}'; printf %s \"$PATH\""], env=env,
                             capture_output=True, timeout=30).stdout.decode()
        self.assertEqual(out, f"/usr/bin:/bin:{a}:{b}")


class StatesAndStops(ServiceCase):
    def test_halt_while_the_service_starts(self):
        self.server()
        self.install()
        # A service process that has not left START_PENDING: this test's own
        # child stands in for it.
        sleeper = self.own(subprocess.Popen(["sleep", "60"]))
        with open(f"/proc/{sleeper.pid}/stat") as f:
            start = f.read().rsplit(")", 1)[1].split()[19]
        os.makedirs(os.path.join(self.tmp, "run"))
        with open(os.path.join(self.tmp, "run", "torvad.status"), "w") as f:
            f.write(f"pid {sleeper.pid}\nstart {start}\nconnected 1\ntype 16\nstate 2\n"
                    "controls 0\nwin32 0\nspecific 0\ncheckpoint 1\nwaithint 10000\n")
        self.assertEqual(self.run_cmd("tvhalt"), (255, "Torva Server is not started.\n", ""))
        self.assertEqual(self.run_cmd("tvlaunch"), (255, "Torva Server is not stopping.\n", ""))
        sleeper.kill()
        sleeper.wait()
        # Its process gone without a STOPPED report: the service reads as stopped.
        self.assertEqual(self.run_cmd("tvhalt"), (255, "Torva Server is not started.\n", ""))

    def test_server_ending_by_itself(self):
        self.server(ARGS_THEN_EXIT.format(code=3))
        self.install()
        self.reg_set(SETTINGS, "ConfigDir", "/etc/elsewhere")
        self.launch()
        host = self.service_pid()
        self.wait_stopped()
        self.assertEqual(self.log("server.log").splitlines(), [
            os.path.join(self.inst, "bin", "torvad"), "/etc/elsewhere/torvad.conf",
            os.path.join(self.inst, "sys", "%08X.lck" % host)])
        self.assertEqual(self.events(), [STARTING, EXECUTING,
                                         ("Warning", 1006,
                                          "The server command was ended. (ExitCode=3)"),
                                         ABNORMAL])
        self.assertFalse(os.path.exists(os.path.join(self.inst, "sys", "%08X.lck" % host)))
        self.assertEqual(self.run_cmd("tvhalt"), (255, "Torva Server is not started.\n", ""))

        # No restart; a second start with exit code 0 and ConfigDir of
        # another type than REG_SZ.
        self.server_path = os.path.join(self.inst, "bin", "torvad")
        with open(self.server_path, "w") as f:
            f.write(ARGS_THEN_EXIT.format(code=0))
        self.reg_set(SETTINGS, "ConfigDir", "/etc/elsewhere", "REG_EXPAND_SZ")
        os.remove(os.path.join(self.inst, "log", "server.log"))
        os.remove(self.env["TORVA_EVENTLOG"])
        self.launch()
        self.wait_stopped()
        self.assertEqual(self.log("server.log").splitlines()[1],
                         os.path.join(self.inst, "conf", "torvad.conf"))
        self.assertEqual(self.events(), [STARTING, EXECUTING, STOPPING])

    def test_stop_kills_a_server_that_ignores_its_stop_file(self):
        self.server(STUBBORN)
        self.install()
        self.launch()
        host = self.service_pid()
        self.assertTrue(wait_for(lambda: "grandchild" in self.log("server.log")))
        pids = {line.split()[0]: int(line.split()[1])
                for line in self.log("server.log").splitlines()}
        tree = [pids["server"], pids["child"], pids["grandchild"]]
        self.assertTrue(all(alive(p) for p in tree))
        began = time.time()
        self.halt()
        took = time.time() - began
        self.assertGreaterEqual(took, 4.5, "50 waits of 100 ms come first")
        self.assertTrue(wait_for(lambda: not any(alive(p) for p in tree + [host]), 10))
        self.assertEqual(self.events(), [STARTING, EXECUTING, STOPPING])
        # Nobody deleted the stop file: it stays behind.
        self.assertTrue(os.path.exists(os.path.join(self.inst, "sys", "%08X.lck" % host)))

    def test_output_is_copied_whole_and_rotated(self):
        out_bytes, err_bytes = 1_200_000, 64_000
        self.server(CHATTY.format(out=out_bytes, err=err_bytes))
        self.install()
        self.launch()
        size = lambda name: os.path.getsize(os.path.join(self.inst, "log", name))  # noqa: E731
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(self.inst, "log",
                                                                     "access.log"))
                                 and size("access.log") == err_bytes, 30))
        self.halt()
        self.wait_stopped()
        old, new = self.log("server.old"), self.log("server.log")
        self.assertLessEqual(len(old), 1048576)
        self.assertGreater(len(old), 1048576 - 2048, "rotated only when the next chunk passed")
        self.assertEqual(old + new, "".join("out %011d\n" % i for i in range(out_bytes // 16)))
        self.assertEqual(self.log("access.log"),
                         "".join("err %011d\n" % i for i in range(err_bytes // 16)))
        self.assertEqual(self.events(), [STARTING, EXECUTING, STOPPING])

    def test_missing_log_directory_drops_output_and_keeps_running(self):
        self.server()
        self.install()
        self.configure()
        shutil.rmtree(os.path.join(self.inst, "log"))
        self.launch()
        self.assertTrue(wait_for(lambda: api_error("fopen()", 2) in self.events()))
        # The host reports the missing file before the server has bound its port.
        self.assertTrue(wait_for(lambda: greeting(self.port).startswith(b"220 "), 30))
        self.halt()
        self.assertFalse(os.path.exists(os.path.join(self.inst, "log")))


class HostOutsideTheTable(ServiceCase):
    """The service host run directly: from a prompt, and under a notify socket
    as systemd runs it."""
    manager = "systemd"

    def notify_socket(self):
        path = os.path.join(self.tmp, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(path)
        sock.settimeout(15)
        self.addCleanup(sock.close)
        self.env["NOTIFY_SOCKET"] = path
        return sock

    def start_host(self):
        return self.own(subprocess.Popen([os.path.join(self.inst, "bin", "tvwatch")],
                                         env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def test_run_from_a_prompt(self):
        self.install()
        for manager in ("table", "systemd"):
            os.makedirs(os.path.join(self.tmp, "run"), exist_ok=True)
            self.env["TORVA_SERVICE_MANAGER"] = manager
            p = subprocess.run([h.program("tvwatch")], env=self.env, capture_output=True,
                               timeout=30)
            self.assertEqual((p.returncode, p.stdout, p.stderr), (255, b"", b""))
        self.assertEqual(self.events(), [api_error("StartServiceCtrlDispatcher()", 1063), ABNORMAL] * 2)

    def test_status_reaches_systemd_and_sigterm_stops(self):
        self.server()
        self.install()
        self.configure()
        sock = self.notify_socket()
        host = self.start_host()
        self.assertEqual(sock.recv(4096), b"STATUS=Starting\nEXTEND_TIMEOUT_USEC=10000000")
        self.assertEqual(sock.recv(4096), b"READY=1\nSTATUS=Running")
        self.assertTrue(wait_for(lambda: "Torva server is started." in self.log("server.log")))
        server = descendants(host.pid)
        host.send_signal(signal.SIGTERM)
        self.assertEqual(sock.recv(4096),
                         b"STOPPING=1\nSTATUS=Stopping\nEXTEND_TIMEOUT_USEC=10000000")
        self.assertEqual(sock.recv(4096), b"STATUS=Stopped (exit code 0)")
        self.assertEqual(host.wait(timeout=15), 0)
        self.assertFalse(any(alive(p) for p in server))
        self.assertEqual(self.events(), [STARTING, EXECUTING, STOPPING])

    def test_path_too_long_for_the_stop_file(self):
        self.server()
        self.install()
        # Fits the 260-byte buffer, but not with "/sys/XXXXXXXX.lck".
        self.reg_set(SETTINGS, "Path", "/" + "p" * 250, "REG_EXPAND_SZ")
        self.notify_socket()
        host = self.start_host()
        self.assertEqual(host.wait(timeout=15), 255)
        self.assertEqual(self.events(), [STARTING, EXECUTING,
                                         api_error("RegQueryValueEx()", 206), ABNORMAL])
        self.reg_set(SETTINGS, "Path", "/" + "p" * 300, "REG_EXPAND_SZ")
        os.remove(self.env["TORVA_EVENTLOG"])
        host = self.start_host()
        self.assertEqual(host.wait(timeout=15), 255)
        self.assertEqual(self.events(), [STARTING, EXECUTING,
                                         api_error("RegQueryValueEx()", 234), ABNORMAL])

    def test_systemd_unit_is_installed_and_removed(self):
        self.install()
        unit = os.path.join(self.tmp, "systemd", "torvad.service")
        with open(unit) as f:
            text = f.read()
        image = os.path.join(self.inst, "bin", "tvwatch")
        for line in ("Type=notify", f'ExecStart="{image}"', "KillMode=mixed", "Restart=no",
                     "WantedBy=multi-user.target"):
            self.assertIn(line + "\n", text)
        wants = os.path.join(self.tmp, "systemd", "multi-user.target.wants", "torvad.service")
        self.assertEqual(os.readlink(wants), unit)
        self.assertIsNone(self.reg_value(SERVICE, "Type"), "the table is not used")
        self.assertEqual(self.run_cmd("tvinstall", "-r", self.inst),
                         (0, "Can not create the service. (1073)\n", ""))
        self.assertEqual(self.run_cmd("tvinstall", "-u", self.inst), (0, "", ""))
        self.assertFalse(os.path.exists(unit) or os.path.lexists(wants))


if __name__ == "__main__":
    unittest.main()
