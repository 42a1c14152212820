"""The Windows build under Wine, beyond the integration suite: the DLLs'
exports and ordinals, and the server as a service of Wine's Service Control
Manager (tvinstall -r, tvlaunch, an FTP session through the service, tvhalt,
tvinstall -u), with the registry read back through Wine's `reg`.

Run by scripts/windows-test.sh with TORVA_WINE (the Wine runner) and TORVA_BIN
(build-win/bin) set. Wine's event log keeps nothing, so the events are not read
back here; their texts are formatted through tvevents.dll by tvevents_test.
"""
import ftplib
import io
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "integration"))
import torva_harness as h  # noqa: E402

OBJDUMP = shutil.which("x86_64-w64-mingw32-objdump")
SETTINGS = r"HKLM\SOFTWARE\MORVEK SOFTWARE\Torva Server"
SERVICE = r"HKLM\SYSTEM\CurrentControlSet\Services\torvad"
SOURCE = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Torva Server"
ENVIRONMENT = r"HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment"


def exports(dll):
    """{name: ordinal} of a DLL's export table."""
    out = subprocess.run([OBJDUMP, "-p", dll], capture_output=True, text=True, check=True).stdout
    m = re.search(r"^Ordinal Base\s+(\d+)", out, re.M)
    base = int(m.group(1)) if m else 1
    if "[Ordinal/Name Pointer] Table" not in out:
        return {}
    table = out.split("[Ordinal/Name Pointer] Table", 1)[1]
    found = {}
    for m in re.finditer(r"^\s*\[\s*(\d+)\]\s+(\S+)\s*$", table, re.M):
        found[m.group(2)] = int(m.group(1)) + base
    return found


def wait_for(predicate, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.2)
    return predicate()


@unittest.skipUnless(OBJDUMP, "mingw-w64 objdump is not installed")
class DllExports(unittest.TestCase):
    def test_user_store_exports_its_nine_names_by_their_ordinals(self):
        self.assertEqual(exports(os.path.join(h.BIN, "tvusers.dll")), {
            "tvusers_add": 1, "tvusers_del": 2, "tvusers_list": 3, "tvusers_list_free": 4,
            "tvusers_session": 5, "tvusers_is_writable": 6, "tvusers_mod": 7, "tvusers_read": 8,
            "tvusers_read2": 9})

    def test_conversion_library_exports_its_pair_first(self):
        found = exports(os.path.join(h.BIN, "tvkanji.dll"))
        self.assertEqual(found["tvkanji_SJIS_to_UCS2"], 1)
        self.assertEqual(found["tvkanji_UCS2_to_SJIS"], 2)

    def test_message_dll_holds_resources_only(self):
        dll = os.path.join(h.BIN, "tvevents.dll")
        out = subprocess.run([OBJDUMP, "-h", dll], capture_output=True, text=True,
                             check=True).stdout
        self.assertIn(".rsrc", re.findall(r"^\s*\d+\s+(\.\w+)", out, re.M))
        # No code of its own: nothing imported, nothing exported.
        self.assertEqual(exports(dll), {})
        headers = subprocess.run([OBJDUMP, "-p", dll], capture_output=True, text=True,
                                 check=True).stdout
        self.assertNotIn("DLL Name", headers)


class ServiceCycle(unittest.TestCase):
    """The whole life of the service on Wine's Service Control Manager."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="torva-winsvc-")
        self.addCleanup(shutil.rmtree, self.tmp, ignore_errors=True)
        self.inst = os.path.join(self.tmp, "inst")
        for d in ("bin", "conf", "log", "sys", "users", "dclist", "root"):
            os.makedirs(os.path.join(self.inst, d))
        for name in ("torvad.exe", "tvwatch.exe", "tvusers.dll", "tvkanji.dll", "tvevents.dll"):
            shutil.copy(os.path.join(h.BIN, name), os.path.join(self.inst, "bin", name))
        self.win_inst = h.native_path(self.inst)
        h.wine_reg("delete", SETTINGS, "/f")
        # Whatever happens, the service is stopped and removed again.
        self.addCleanup(self.run_cmd, "tvinstall", "-u", self.win_inst)
        self.addCleanup(self.run_cmd, "tvhalt")

    def run_cmd(self, name, *args, timeout=90):
        p = subprocess.run(h.command(name, *args), capture_output=True, stdin=subprocess.DEVNULL,
                           timeout=timeout)
        return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")

    def reg_value(self, key, name):
        """(type, data) as Wine's reg shows it, or None."""
        r = h.wine_reg("query", key, "/v", name)
        if r.returncode != 0:
            return None
        for line in r.stdout.decode("latin-1").splitlines():
            parts = line.strip().split("    ")
            if len(parts) >= 2 and parts[0] == name:
                return parts[1], (parts[2] if len(parts) > 2 else "")
        return None

    def log(self, name):
        try:
            with open(os.path.join(self.inst, "log", name), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def test_install_launch_session_halt_uninstall(self):
        self.assertEqual(self.run_cmd("tvinstall", "-r", self.win_inst), (0, "", ""))
        bin_dir = self.win_inst + "\\bin"
        # Wine's service manager keeps ImagePath as REG_SZ, Windows as REG_EXPAND_SZ.
        self.assertEqual(self.reg_value(SERVICE, "ImagePath")[1], bin_dir + "\\tvwatch.exe")
        self.assertEqual(self.reg_value(SERVICE, "Start"), ("REG_DWORD", "0x2"))
        self.assertEqual(self.reg_value(SERVICE, "DisplayName"), ("REG_SZ", "Torva Server"))
        self.assertEqual(self.reg_value(SOURCE, "EventMessageFile"),
                         ("REG_EXPAND_SZ", bin_dir + "\\tvevents.dll"))
        self.assertEqual(self.reg_value(SETTINGS, "Path"), ("REG_EXPAND_SZ", self.win_inst))
        search = self.reg_value(ENVIRONMENT, "Path")
        self.assertTrue(search and search[1].endswith(";" + bin_dir), search)

        for cmd in ("tvsetusers", "tvsetcfg", "tvsetban"):
            self.assertEqual(self.run_cmd(cmd, "-init")[0], 0, cmd)
        port = h.free_port()
        conf = dict(h.BASE_CONFIG, **{"bind-port": str(port), "access-log2": "on"})
        with open(os.path.join(self.inst, "conf", "torvad.conf"), "w") as f:
            f.writelines(f"{k}={v}\n" for k, v in conf.items())
        rc, out, err = self.run_cmd("tvmkuser", "-u", "alice", "-p", "secret", "-d",
                                    self.win_inst + "\\root", "-w")
        self.assertEqual(rc, 0, out + err)

        self.assertEqual(self.run_cmd("tvlaunch"), (255, "Torva Server was started.\r\n", ""))
        self.assertTrue(wait_for(lambda: "Torva server is started." in self.log("server.log")),
                        self.log("server.log"))
        with ftplib.FTP() as ftp:
            ftp.connect("127.0.0.1", port, timeout=20)
            ftp.login("alice", "secret")
            ftp.storbinary("STOR hello.txt", io.BytesIO(b"through the service\r\n"))
            got = io.BytesIO()
            ftp.retrbinary("RETR hello.txt", got.write)
            self.assertEqual(got.getvalue(), b"through the service\r\n")
            names = []
            ftp.retrlines("NLST", names.append)
            self.assertTrue(any(n.endswith("hello.txt") for n in names), names)
            ftp.quit()
        with open(os.path.join(self.inst, "root", "hello.txt"), "rb") as f:
            self.assertEqual(f.read(), b"through the service\r\n")
        self.assertTrue(wait_for(lambda: "Success to login." in self.log("server.log")))
        self.assertTrue(wait_for(lambda: "alice" in self.log("access.log")))

        self.assertEqual(self.run_cmd("tvlaunch"),
                         (255, "Torva Server is not stopping.\r\n", ""))
        self.assertEqual(self.run_cmd("tvhalt"), (255, "Torva Server was stopped.\r\n", ""))
        self.assertTrue(wait_for(lambda: h.free_port_is(port)), "the server still listens")
        self.assertTrue(wait_for(lambda: not os.listdir(os.path.join(self.inst, "sys"))),
                        "the server deleted its stop file")
        self.assertEqual(self.run_cmd("tvhalt"), (255, "Torva Server is not started.\r\n", ""))

        self.assertEqual(self.run_cmd("tvinstall", "-u", self.win_inst), (0, "", ""))
        self.assertIsNone(self.reg_value(SERVICE, "ImagePath"))
        self.assertFalse(self.reg_value(ENVIRONMENT, "Path")[1].endswith(";" + bin_dir))
        self.assertEqual(self.run_cmd("tvlaunch"),
                         (255, "Can not open the service. (1060)\r\n", ""))


if __name__ == "__main__":
    unittest.main()
