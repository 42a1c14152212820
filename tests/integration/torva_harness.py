"""Starts real Torva Server programs on loopback for the integration tests.

Every instance gets its own temporary directory with a registry file
(TORVA_REGISTRY), a user directory, a disconnect directory, a configuration file
and the server's two logs. Ports are ephemeral; every started process is stopped
by its PID.

With TORVA_WINE set (the Wine runner, scripts/wine-run.sh) the programs are the
Windows build's .exe files run under Wine: paths handed to them are Windows
paths (drive Z: is the root of this system) and the registry is Wine's, set
with its own `reg` command.
"""
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("TORVA_BIN") or os.path.join(
    os.path.dirname(__file__), "..", "..", "build", "bin")
SOURCE = os.environ.get("TORVA_SOURCE") or os.path.join(os.path.dirname(__file__), "..", "..")
SETTINGS_KEY = r"HKLM\SOFTWARE\MORVEK SOFTWARE\Torva Server"
WINE = os.environ.get("TORVA_WINE")

# A configuration that starts a usable server on loopback; tests override keys.
BASE_CONFIG = {
    "bind-host": "127.0.0.1",
    "socket-domain": "AF_INET",
    "socket-type": "SOCK_STREAM",
    "socket-backlog": "512",
    "max-connect": "300",
    "session-timeout": "20",
    "buffer-size": "65536",
    "loop-cycle-sec": "0",
    "loop-cycle-usec": "200000",
    "retry-seconds": "1",
    "log-level": "4",
    "pasv-wait": "5",
}


def program(name):
    return os.path.join(BIN, name + ".exe" if WINE else name)


def command(name, *args):
    """The argument vector that runs one of the system's programs."""
    return ([WINE] if WINE else []) + [program(name), *args]


def posix_text(data):
    """Under Wine, program output as this system writes it: the C runtime's
    CR LF line ends become LF and the Z: paths of this system's files their
    POSIX form, so that the suite's expectations hold for both builds."""
    if not WINE:
        return data
    text = isinstance(data, str)
    raw = data.encode("latin-1") if text else data
    raw = raw.replace(b"\r\n", b"\n")
    raw = re.sub(rb"Z:((?:\\[^\\\s\]\[\"'()]*)+)", lambda m: m.group(1).replace(b"\\", b"/"), raw)
    return raw.decode("latin-1") if text else raw


def native_path(path):
    """A path as the programs take it: under Wine, the Windows path on Z:."""
    if not WINE:
        return path
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_port_is(port):
    """True when nothing listens on the loopback port any more."""
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) != 0


def run(name, *args, env=None, input=None, timeout=30):
    """Runs one of the system's programs; returns CompletedProcess (bytes)."""
    r = subprocess.run(command(name, *args), env=env, input=input,
                       capture_output=True, timeout=timeout)
    r.stdout, r.stderr = posix_text(r.stdout), posix_text(r.stderr)
    return r


def wine_reg(*args, timeout=60):
    """Wine's own `reg` command on the prefix the programs use."""
    return subprocess.run([WINE, "reg", *args], capture_output=True, timeout=timeout)


class Instance:
    """One server with its own registry, directories and configuration.

    `config` maps keys to values (a list value writes the key once per item;
    None drops a base key). `lines` are extra raw lines for the file.
    """

    def __init__(self, config=None, lines=(), users=(), registry=None, tls=False,
                 stop_file=False, prefix="torva-"):
        self.dir = tempfile.mkdtemp(prefix=prefix)
        self.registry = os.path.join(self.dir, "registry.reg")
        self.user_dir = os.path.join(self.dir, "users")
        self.dc_dir = os.path.join(self.dir, "dclist")
        self.conf_dir = os.path.join(self.dir, "conf")
        self.root = os.path.join(self.dir, "root")
        for d in (self.user_dir, self.dc_dir, self.conf_dir, self.root):
            os.makedirs(d)
        self.env = dict(os.environ, TORVA_REGISTRY=self.registry)
        self.env.pop("LANG", None)
        self.env.pop("LC_ALL", None)
        self.env.pop("LC_CTYPE", None)
        self.port = None
        self.config = dict(BASE_CONFIG)
        for k, v in (config or {}).items():
            if v is None:
                self.config.pop(k, None)
            else:
                self.config[k] = v
        self.lines = list(lines)
        self.proc = None
        self.popen_kwargs = {}  # e.g. user= and group= to start the server as another account
        self.stdout_path = os.path.join(self.dir, "server.log")
        self.stderr_path = os.path.join(self.dir, "access.log")
        self.stop_path = os.path.join(self.dir, "stop.lck") if stop_file else None
        values = {"Path": ("REG_EXPAND_SZ", native_path(self.dir)),
                  "UserDir": native_path(self.user_dir),
                  "DisconnectDir": native_path(self.dc_dir),
                  "ConfigDir": native_path(self.conf_dir)}
        if registry is not None:
            values.update(registry)
        values = {name: value if isinstance(value, tuple) else ("REG_SZ", value)
                  for name, value in values.items() if value is not None}
        if WINE:
            # One registry for every instance: the settings key is made anew,
            # in one import (each Wine call costs a good part of a second).
            self.reg_import(values)
        else:
            for name, (type_, data) in values.items():
                self.reg_set(name, data, type_)
        for user in users:
            self.add_user(*user)
        if tls:
            make_certificate(self.conf_dir)

    # ---- set-up helpers ----
    def reg_set(self, name, data, type_="REG_SZ", key=SETTINGS_KEY):
        args = ("add", key, "/v", name, "/t", type_, "/d", data, "/f")
        r = wine_reg(*args) if WINE else run("tvreg", *args, env=self.env)
        assert r.returncode == 0, r.stderr

    def reg_import(self, values, key=SETTINGS_KEY):
        """Wine only: replaces `key` by one holding `values` ({name: (type, data)})."""
        full = key.replace("HKLM\\", "HKEY_LOCAL_MACHINE\\", 1)
        lines = ["REGEDIT4", "", "[-%s]" % full, "", "[%s]" % full]
        for name, (type_, data) in values.items():
            if type_ == "REG_SZ":
                text = data.replace("\\", "\\\\").replace('"', '\\"')
                lines.append('"%s"="%s"' % (name, text))
            elif type_ == "REG_DWORD":
                lines.append('"%s"=dword:%08x' % (name, int(data, 0)))
            elif type_ == "REG_EXPAND_SZ":
                raw = data.encode("latin-1") + b"\0"
                lines.append('"%s"=hex(2):%s' % (name, ",".join("%02x" % b for b in raw)))
            elif type_ == "REG_BINARY":
                raw = bytes.fromhex(data)
                lines.append('"%s"=hex:%s' % (name, ",".join("%02x" % b for b in raw)))
            else:
                raise ValueError(type_)
        path = os.path.join(self.dir, "settings.reg")
        with open(path, "w", encoding="latin-1", newline="\r\n") as f:
            f.write("\n".join(lines) + "\n")
        # An import now and then fails without a word under load; once more.
        for _ in range(3):
            r = wine_reg("import", native_path(path))
            if r.returncode == 0:
                break
        assert r.returncode == 0, (r.returncode, r.stdout, r.stderr)

    def add_user(self, name, password, home=None, readonly=False):
        home = home if home is not None else self.root
        args = ["-u", name, "-p", password, "-d", native_path(home) if home.startswith("/") else home,
                "-r" if readonly else "-w"]
        r = run("tvmkuser", *args, env=self.env)
        assert r.returncode == 0, (r.stdout, r.stderr)

    def write_config(self):
        path = os.path.join(self.dir, "torvad.conf")
        with open(path, "w") as f:
            for k, v in self.config.items():
                for item in (v if isinstance(v, list) else [v]):
                    f.write(f"{k}={item}\n")
            for line in self.lines:
                f.write(line + "\n")
        return path

    # ---- process ----
    def start(self, expect_failure=False, timeout=20, args=None):
        """Starts the server; waits for the start line (or its exit)."""
        for attempt in range(5):
            if "bind-port" not in self.config or attempt:
                self.port = free_port()
                self.config["bind-port"] = str(self.port)
            else:
                self.port = int(self.config["bind-port"])
            conf = self.write_config()
            argv = command("torvad", native_path(conf)) if args is None else command("torvad", *args)
            if self.stop_path and args is None:
                argv.append(native_path(self.stop_path))
            out = open(self.stdout_path, "wb")
            err = open(self.stderr_path, "wb")
            self.proc = subprocess.Popen(argv, stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                         env=self.env, cwd=self.dir, **self.popen_kwargs)
            out.close()
            err.close()
            if expect_failure:
                self.proc.wait(timeout=timeout)
                return self.proc.returncode
            deadline = time.time() + timeout
            while time.time() < deadline:
                if "Torva server is started." in self.log():
                    return 0
                if self.proc.poll() is not None:
                    break
                time.sleep(0.02)
            if self.proc.poll() is None:
                self.kill()
                raise AssertionError("server did not start:\n" + self.log())
            if "Failed bind()" in self.log() and attempt < 4:
                continue  # the free port was taken meanwhile
            raise AssertionError("server exited (%s):\n%s" % (self.proc.returncode, self.log()))
        raise AssertionError("no port")

    def stop(self, sig=signal.SIGTERM, timeout=10):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise

    def kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()

    def close(self):
        self.kill()
        shutil.rmtree(self.dir, ignore_errors=True)

    def log(self):
        with open(self.stdout_path, "rb") as f:
            return posix_text(f.read().decode("latin-1"))

    def access_log(self):
        with open(self.stderr_path, "rb") as f:
            return posix_text(f.read().decode("latin-1"))

    def wait_log(self, text, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if text in self.log():
                return True
            time.sleep(0.02)
        return False

    def check_sanitizers(self):
        """Fails when a sanitizer reported anything on the server's streams."""
        both = self.log() + self.access_log()
        for marker in ("AddressSanitizer", "LeakSanitizer", "runtime error:", "UndefinedBehavior",
                       "ThreadSanitizer"):
            assert marker not in both, both[-4000:]

    def connect(self, timeout=10):
        return RawClient(self.port, timeout=timeout)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            if self.proc is not None and self.proc.poll() is None:
                self.stop()
            self.check_sanitizers()
        finally:
            self.close()


class ServerCase(unittest.TestCase):
    """One server per test class, shared by its tests. Each file's base class
    configures it with class attributes and hooks:

      CONFIG    keys over BASE_CONFIG (None drops a key)
      USERS     (name, password[, home, readonly]) tuples added before start
      TLS       True makes a self-signed certificate in the conf directory
      REGISTRY  registry values over the instance's defaults
      GREETING  the reply greeted() expects; None accepts any 220 reply
      prepare_file  class method: a file's own fixture, given the instance
                    before it starts
      prepare   class method: a single class's additions, after prepare_file

    The server is stopped after the class, and whatever a sanitizer reported
    on its streams fails the class.
    """
    CONFIG = {}
    USERS = ()
    TLS = False
    REGISTRY = None
    GREETING = "220 Torva Server is ready."

    @classmethod
    def prepare_file(cls, inst):
        pass

    @classmethod
    def prepare(cls, inst):
        pass

    @classmethod
    def setUpClass(cls):
        for klass in cls.__mro__:
            if "config" in vars(klass):
                raise TypeError(f"{klass.__name__}: the server's keys go into CONFIG")
        cls.inst = Instance(config=cls.CONFIG, users=cls.USERS, tls=cls.TLS,
                            registry=cls.REGISTRY)
        try:
            cls.prepare_file(cls.inst)
            cls.prepare(cls.inst)
            cls.inst.start()
        except BaseException:
            cls.inst.close()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.inst.__exit__(None, None, None)

    def greeted(self, timeout=10):
        """A new control connection, closed after the test, past its greeting."""
        c = self.inst.connect(timeout=timeout)
        self.addCleanup(c.close)
        greeting = c.reply()
        if self.GREETING is None:
            self.assertTrue(greeting.startswith("220"), greeting)
        else:
            self.assertEqual(greeting, self.GREETING)
        return c


class RawClient:
    """A control connection spoken byte by byte, for exact replies."""

    def __init__(self, port, host="127.0.0.1", timeout=10):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.buf = b""

    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.sock.sendall(data)

    def cmd(self, line):
        """Sends one command line and returns the reply's last line."""
        self.send(line + "\r\n")
        return self.reply()

    def line(self):
        while b"\r\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed; pending %r" % self.buf)
            self.buf += chunk
        line, self.buf = self.buf.split(b"\r\n", 1)
        return line.decode("latin-1")

    def reply_lines(self):
        """All lines of one reply (multi-line replies included)."""
        first = self.line()
        lines = [first]
        if len(first) >= 4 and first[3] == "-":
            code = first[:3]
            while True:
                nxt = self.line()
                lines.append(nxt)
                if nxt.startswith(code + " "):
                    break
        return lines

    def reply(self):
        return self.reply_lines()[-1]

    def closed(self, timeout=5):
        """True when the server closes the connection (pending lines ignored)."""
        self.sock.settimeout(timeout)
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return True
                self.buf += chunk
        except (ConnectionResetError, BrokenPipeError):
            return True
        except socket.timeout:
            return False

    def login(self, user, password):
        assert self.cmd("USER " + user).startswith("331"), user
        r = self.cmd("PASS " + password)
        assert r.startswith("230"), r
        return r

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def recv_all(s, timeout=30):
    """Reads a socket (a data connection) to its end."""
    s.settimeout(timeout)
    chunks = []
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def make_certificate(conf_dir, name="csr.pem", key="private.pem"):
    """A self-signed certificate and key for TLS instances."""
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-sha256",
                    "-days", "30", "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                    "-keyout", os.path.join(conf_dir, key), "-out", os.path.join(conf_dir, name)],
                   check=True, capture_output=True)


def client_tls_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx
