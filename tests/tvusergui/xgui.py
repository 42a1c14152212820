"""The user administration window on an X server of its own, driven with xdotool.

XServer starts Xvfb on a display it picks itself (-displayfd) and stops it by
its PID. Installation is a throw-away installation directory with its own
registry file, user directory and HOME. Window runs tvusergui there and drives
it: clicks at the window's fixed control places, typing, keys, and message
boxes found by their titles. Every wait is bounded.
"""
import os
import re
import select
import shutil
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BIN = os.environ.get("TORVA_BIN") or os.path.join(HERE, "..", "..", "build", "bin")
SETTINGS_KEY = "HKLM\\SOFTWARE\\MORVEK SOFTWARE\\Torva Server"
TITLE = "Torva Server - User administration GUI"
BROWSE_TITLE = "Select root directory of FTP user."
# Leaks that LeakSanitizer finds inside the X libraries under a sanitizer build.
LSAN_SUPPRESSIONS = os.path.join(HERE, "lsan.supp")
WAIT = 30  # seconds for anything to appear; generous for sanitizer builds

# Client places (centres) of the controls: the window's table shifted below
# the menu bar, which is 25 pixels high.
MENU = 25
NAME = (256, MENU + 10 + 12)
PASSWORD = (256, MENU + 36 + 12)
DIRECTORY = (256, MENU + 62 + 12)
BROWSE = (400, MENU + 62 + 12)
AUTHORITY = (192, MENU + 88 + 12)
APPLY = (304, MENU + 88 + 14)
CLEAR = (376, MENU + 88 + 14)
# The list starts at 128 below the menu, without a frame; its column headers
# are 22 pixels high, its rows 20.
FIRST_ROW = MENU + 128 + 22
ROW = 20


def program(name):
    return os.path.join(BIN, name)


class XServer:
    """Xvfb on a free display; stop() ends it by its PID."""

    def __init__(self):
        if shutil.which("Xvfb") is None or shutil.which("xdotool") is None:
            raise RuntimeError("Xvfb and xdotool are needed (scripts/deps.sh installs them)")
        rfd, wfd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             "-noreset"],
            pass_fds=(wfd,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(wfd)
        number = b""
        deadline = time.time() + WAIT
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.time()
                if left <= 0 or not select.select([rfd], [], [], left)[0]:
                    raise RuntimeError("Xvfb did not report its display")
                chunk = os.read(rfd, 16)
                if not chunk:
                    raise RuntimeError("Xvfb ended (%s)" % self.proc.wait())
                number += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            os.close(rfd)
        self.display = ":" + number.decode().strip()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Installation:
    """An installation directory with sys/, a user directory, a registry file
    naming both, and a HOME for the toolkit's preferences."""

    def __init__(self, user_dir=True):
        self.dir = tempfile.mkdtemp(prefix="tvusergui-")
        self.users = os.path.join(self.dir, "users")
        self.lock = os.path.join(self.dir, "sys", "tvusergui.lck")
        for d in ("users", "sys", "home"):
            os.mkdir(os.path.join(self.dir, d))
        self.env = dict(os.environ, TORVA_REGISTRY=os.path.join(self.dir, "registry.reg"),
                        HOME=os.path.join(self.dir, "home"))
        self.reg("Path", self.dir, "REG_EXPAND_SZ")
        if user_dir:
            self.reg("UserDir", self.users)

    def reg(self, name, data, type_="REG_SZ"):
        self.run("tvreg", "add", SETTINGS_KEY, "/v", name, "/t", type_, "/d", data, "/f")

    def run(self, name, *args):
        r = subprocess.run([program(name), *args], env=self.env, capture_output=True, timeout=30)
        if r.returncode != 0:
            raise AssertionError("%s %s: %r" % (name, args, r.stderr))
        return r.stdout

    def add_user(self, name, password, directory, readonly=False):
        self.run("tvmkuser", "-u", name, "-p", password, "-d", directory,
                 "-r" if readonly else "-w")

    def users_now(self):
        """(name, password, directory, "READ"|"WRITE") of every user, in store order."""
        r = subprocess.run([program("tvlsuser"), "-passwd"], env=self.env, capture_output=True,
                           timeout=30)
        rows = []
        for line in r.stdout.decode("utf-8", "replace").splitlines()[1:]:
            m = re.fullmatch(r'\d+,"(.*)","(.*)","(.*)","(READ|WRITE)"', line)
            if m is None:
                raise AssertionError("unexpected listing line %r" % line)
            rows.append(m.groups())
        return rows

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)


class Window:
    """One run of tvusergui against an installation on an X server."""

    def __init__(self, xserver, inst, wait_main=True):
        self.x = xserver
        self.inst = inst
        env = dict(inst.env, DISPLAY=xserver.display)
        env["LSAN_OPTIONS"] = "suppressions=%s:print_suppressions=0" % LSAN_SUPPRESSIONS
        self.env = env
        self.err_path = os.path.join(inst.dir, "tvusergui-%d.err" % time.monotonic_ns())
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([program("tvusergui")], env=env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=err)
        self.id = self.find(TITLE) if wait_main else None

    # ---- X ----
    def xdotool(self, *args, timeout=WAIT):
        r = subprocess.run(["xdotool", *args], env=self.env, capture_output=True, timeout=timeout)
        return r.returncode, r.stdout.decode().split()

    def find(self, title, timeout=WAIT):
        """Id of the visible window with exactly this title; waits for it."""
        pattern = "^" + re.escape(title) + "$"
        try:
            _, ids = self.xdotool("search", "--sync", "--onlyvisible", "--name", pattern,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("no window %r within %ds (%s)" % (title, timeout, self.stderr()))
        return ids[0]

    def visible(self, title):
        rc, ids = self.xdotool("search", "--onlyvisible", "--name", "^" + re.escape(title) + "$")
        return rc == 0 and bool(ids)

    def wait_gone(self, title, timeout=WAIT):
        deadline = time.time() + timeout
        while self.visible(title):
            if time.time() > deadline:
                raise AssertionError("window %r still shown" % title)
            time.sleep(0.05)

    def focus(self, win=None):
        self.xdotool("windowfocus", "--sync", win or self.id)

    def click(self, place, win=None, ctrl=False):
        self.focus(win)
        args = ["mousemove", "--window", win or self.id, str(place[0]), str(place[1])]
        if ctrl:
            args = ["keydown", "ctrl"] + args + ["click", "1", "keyup", "ctrl"]
        else:
            args += ["click", "1"]
        self.xdotool(*args)

    def click_row(self, index, ctrl=False):
        self.click((100, FIRST_ROW + ROW * index + ROW // 2), ctrl=ctrl)

    def type(self, text):
        self.xdotool("type", "--delay", "2", text)

    def key(self, *keys):
        self.xdotool("key", "--delay", "20", *keys)

    def edit(self, place, text):
        """Replaces a field's text."""
        self.click(place)
        self.key("ctrl+a", "BackSpace")
        if text:
            self.type(text)

    def menu(self, menu_key, item_key):
        """Opens a menu by its mnemonic with Alt and picks an item by its mnemonic."""
        self.focus()
        self.key("alt+" + menu_key)
        self.key(item_key)

    def choose_authority(self, current, wanted):
        """Opens the drop-down, which shows its current item, and moves to another."""
        if current != wanted:
            self.click(AUTHORITY)
            self.key("Down" if wanted > current else "Up", "Return")

    def choose_in_browser(self, row):
        """Clicks a row of the open folder chooser's list (0 is "../")."""
        self.click((40, 55 + 17 * row), win=self.find(BROWSE_TITLE))

    def answer(self, title):
        """Closes the message box with this title with its OK button (Return)."""
        box = self.find(title)
        self.focus(box)
        self.key("Return")
        self.wait_gone(title)

    # ---- process ----
    def wait_exit(self, timeout=WAIT):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("tvusergui did not end: " + self.stderr())

    def exit(self):
        """System > Exit; returns the exit code."""
        self.menu("s", "x")
        return self.wait_exit()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def screenshot(self, path):
        subprocess.run(["import", "-display", self.x.display, "-window", self.id, path],
                       env=self.env, check=True, capture_output=True, timeout=WAIT)
