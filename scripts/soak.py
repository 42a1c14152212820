#!/usr/bin/env python3
"""Soak: one server on loopback, driven for a while by a bounded number of
clients that log in plain and over TLS, upload, download, append, list, rename
and delete, and now and then vanish: with a reset or an orderly close, in the
middle of a transfer or of a TLS handshake.

Every client works in a directory of its own and keeps a model of what each
of its files must hold: every transfer that got 226 is checked by its sha256,
a download of a file against the model, and at the end every file of the tree
against the model (an upload cut short leaves its file unknown until it is
written again). Shared reference files are downloaded by everybody and must
never change. The server's descriptors and threads must come back to what it
had before the first client.

Prints one summary line; exits non-zero on any loss, leak, crash or logic
error. Loopback only; the server is stopped by its PID.

    scripts/soak.py [--seconds 600] [--clients 200] [--bin build/bin]
"""
import argparse
import ftplib
import hashlib
import io
import os
import random
import socket
import ssl
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration"))

UNKNOWN = object()  # a file whose last upload was cut short
REFERENCE_SIZES = [0, 1, 4095, 65536, 1 << 20, 3 * (1 << 20) + 17]
MAX_FILES = 10  # per client


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.n = {}
        self.losses = []

    def add(self, key, amount=1):
        with self.lock:
            self.n[key] = self.n.get(key, 0) + amount

    def loss(self, text):
        with self.lock:
            self.losses.append(text)

    def get(self, key):
        return self.n.get(key, 0)


class Payloads:
    """Random bytes without paying for them on every upload: slices of a pool."""

    def __init__(self, seed):
        rnd = random.Random(seed)
        self.pool = bytes(rnd.getrandbits(8) for _ in range(1 << 16)) * 64  # 4 MiB

    def make(self, rnd, size):
        if size <= 0:
            return b""
        start = rnd.randrange(0, len(self.pool) - min(size, len(self.pool)) + 1)
        data = self.pool[start:start + size]
        while len(data) < size:
            data += self.pool[:size - len(data)]
        # A few bytes of its own, so that no two uploads look alike.
        tag = struct.pack(">Q", rnd.getrandbits(64))
        return tag[:size] + data[len(tag):]


def sha(data):
    return hashlib.sha256(data).hexdigest()


def hard_close(s):
    try:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    try:
        s.close()
    except OSError:
        pass


class Worker(threading.Thread):
    def __init__(self, index, port, deadline, stats, payloads, tls_context, refs, seed):
        super().__init__(daemon=True)
        self.index = index
        self.port = port
        self.deadline = deadline
        self.stats = stats
        self.payloads = payloads
        self.ctx = tls_context
        self.refs = refs
        self.rnd = random.Random(seed)
        self.dir = "w%03d" % index
        self.model = {}  # name -> sha256 hex, or UNKNOWN
        self.contents = {}  # name -> bytes, for appends (small files only)
        self.serial = 0

    # ---- helpers ----
    def new_name(self):
        self.serial += 1
        return "f%05d.bin" % self.serial

    def connect(self):
        tls = self.rnd.random() < 0.5
        if tls:
            ftp = ftplib.FTP_TLS(context=self.ctx, timeout=60)
        else:
            ftp = ftplib.FTP(timeout=60)
        ftp.connect("127.0.0.1", self.port)
        if tls:
            ftp.auth()
        ftp.login("soak", "soak")
        if tls:
            ftp.prot_p()
        ftp.set_pasv(self.rnd.random() < 0.9)
        self.stats.add("sessions")
        self.stats.add("tls" if tls else "plain")
        return ftp

    def vanish(self, ftp, sock=None):
        """Ends the session without QUIT: a reset or an orderly close."""
        rst = self.rnd.random() < 0.5
        for s in (sock, ftp.sock):
            if s is None:
                continue
            if rst:
                hard_close(s)
            else:
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                s.close()
        self.stats.add("rst" if rst else "fin")

    # ---- operations; each returns False when the session is gone ----
    def upload(self, ftp, append=False):
        names = [n for n in self.model if self.model[n] is not UNKNOWN and n in self.contents]
        if append and names:
            name = self.rnd.choice(names)
        elif len(self.model) >= MAX_FILES:
            append = False
            name = self.rnd.choice(list(self.model))  # replaced: the tree stays bounded
        else:
            append = False
            name = self.new_name()
        size = self.rnd.choice([0, 1, 100, 5000, 70000, 300000, 1 << 20, 2 * (1 << 20) + 3])
        data = self.payloads.make(self.rnd, size)
        cut = self.rnd.random() < 0.06 and size > 70000
        cmd = ("APPE " if append else "STOR ") + self.dir + "/" + name
        if cut:
            conn = ftp.transfercmd(cmd)
            conn.sendall(data[:size // 2])
            self.model[name] = UNKNOWN
            self.contents.pop(name, None)
            self.stats.add("cut uploads")
            self.vanish(ftp, conn)
            return False
        try:
            ftp.storbinary(cmd, io.BytesIO(data), blocksize=65536)
        except ftplib.all_errors as e:
            self.stats.add("upload errors")
            self.model[name] = UNKNOWN
            self.contents.pop(name, None)
            self.stats.loss("%s: %s %s failed: %r" % (self.dir, cmd, size, e))
            return False
        if append:
            whole = self.contents[name] + data
        else:
            whole = data
        self.model[name] = sha(whole)
        if len(whole) <= 4 << 20:
            self.contents[name] = whole
        else:
            self.contents.pop(name, None)
        self.stats.add("appends" if append else "uploads")
        self.stats.add("bytes checked", len(data))
        return True

    def download(self, ftp):
        known = [n for n in self.model if self.model[n] is not UNKNOWN]
        if known and self.rnd.random() < 0.6:
            name = self.rnd.choice(known)
            path, want = self.dir + "/" + name, self.model[name]
        else:
            name = self.rnd.choice(list(self.refs))
            path, want = "ref/" + name, self.refs[name]
        if self.rnd.random() < 0.06:
            conn = ftp.transfercmd("RETR " + path)
            conn.recv(1000)
            self.stats.add("cut downloads")
            self.vanish(ftp, conn)
            return False
        h = hashlib.sha256()
        got = [0]

        def take(chunk):
            h.update(chunk)
            got[0] += len(chunk)

        try:
            ftp.retrbinary("RETR " + path, take, blocksize=65536)
        except ftplib.all_errors as e:
            self.stats.loss("%s: RETR %s failed: %r" % (self.dir, path, e))
            return False
        if h.hexdigest() != want:
            self.stats.loss("%s: RETR %s got %d bytes that differ from the model" %
                            (self.dir, path, got[0]))
        self.stats.add("downloads")
        self.stats.add("bytes checked", got[0])
        return True

    def listing(self, ftp):
        # A listing always shows the current directory (names only, after
        # its header line).
        try:
            ftp.cwd(self.dir)
            names = ftp.nlst()
            ftp.cwd("/")
        except ftplib.all_errors as e:
            self.stats.loss("%s: NLST failed: %r" % (self.dir, e))
            return False
        listed = {n for n in names if not n.startswith("List of")} - {".", ".."}
        for name, state in self.model.items():
            if state is not UNKNOWN and name not in listed:
                self.stats.loss("%s: %s missing from the listing" % (self.dir, name))
        for name in listed - set(self.model):
            self.stats.loss("%s: unexpected %r in the listing" % (self.dir, name))
        self.stats.add("listings")
        return True

    def rename(self, ftp):
        known = [n for n in self.model if self.model[n] is not UNKNOWN]
        if not known:
            return True
        old = self.rnd.choice(known)
        new = self.new_name()
        try:
            ftp.rename(self.dir + "/" + old, self.dir + "/" + new)
        except ftplib.all_errors as e:
            self.stats.loss("%s: rename %s failed: %r" % (self.dir, old, e))
            return False
        self.model[new] = self.model.pop(old)
        if old in self.contents:
            self.contents[new] = self.contents.pop(old)
        self.stats.add("renames")
        return True

    def delete(self, ftp):
        if not self.model:
            return True
        name = self.rnd.choice(list(self.model))
        try:
            ftp.delete(self.dir + "/" + name)
        except ftplib.error_perm as e:
            if self.model[name] is not UNKNOWN:
                self.stats.loss("%s: DELE %s failed: %r" % (self.dir, name, e))
            return True
        except ftplib.all_errors:
            return False
        self.model.pop(name)
        self.contents.pop(name, None)
        self.stats.add("deletes")
        return True

    def half_handshake(self):
        """AUTH TLS and then part of a handshake, and gone."""
        s = socket.create_connection(("127.0.0.1", self.port), timeout=30)
        s.recv(1000)
        s.sendall(b"AUTH TLS\r\n")
        s.recv(1000)
        hello = ssl.MemoryBIO(), ssl.MemoryBIO()
        obj = self.ctx.wrap_bio(hello[0], hello[1], server_hostname="localhost")
        try:
            obj.do_handshake()
        except ssl.SSLWantReadError:
            pass
        data = hello[1].read()
        s.sendall(data[:self.rnd.randrange(1, max(2, len(data)))])
        if self.rnd.random() < 0.5:
            hard_close(s)
            self.stats.add("rst")
        else:
            s.close()
            self.stats.add("fin")
        self.stats.add("cut handshakes")

    def session(self):
        if self.rnd.random() < 0.04:
            self.half_handshake()
            return
        ftp = self.connect()
        ops = [self.upload, self.upload, lambda f: self.upload(f, append=True), self.download,
               self.download, self.listing, self.rename, self.delete]
        for _ in range(self.rnd.randrange(1, 12)):
            if time.time() > self.deadline:
                break
            if not self.rnd.choice(ops)(ftp):
                return
        if self.rnd.random() < 0.1:
            self.vanish(ftp)
            return
        try:
            ftp.quit()
        except ftplib.all_errors:
            ftp.close()

    def run(self):
        while time.time() < self.deadline:
            try:
                self.session()
            except (OSError, EOFError, ftplib.all_errors) as e:
                # A session that ended under the client by its own doing is
                # counted there; anything else is worth a line.
                self.stats.add("session errors")
                self.stats.loss("%s: session failed: %r" % (self.dir, e))


def counts(pid):
    fds = len(os.listdir("/proc/%d/fd" % pid))
    threads = len(os.listdir("/proc/%d/task" % pid))
    return fds, threads


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--clients", type=int, default=200)
    ap.add_argument("--bin", default=os.path.join(HERE, "..", "build", "bin"))
    ap.add_argument("--seed", type=int, default=int(time.time()))
    args = ap.parse_args()
    os.environ["TORVA_BIN"] = os.path.abspath(args.bin)
    import torva_harness as h  # after TORVA_BIN is known

    config = {"max-connect": str(args.clients + 100), "session-timeout": "30",
              "pasv-wait": "10", "log-level": "3", "auth-mechanism": "TLS",
              "buffer-size": "65536", "loop-cycle-usec": "100000", "failure-limit": "0",
              "list-type-NLST": "nameonly"}
    inst = h.Instance(config=config, users=[], tls=True, prefix="torva-soak-")
    inst.add_user("soak", "soak")
    stats = Stats()
    rnd = random.Random(args.seed)
    payloads = Payloads(args.seed)
    refs = {}
    os.makedirs(os.path.join(inst.root, "ref"))
    for n, size in enumerate(REFERENCE_SIZES):
        data = payloads.make(rnd, size)
        name = "ref%d.bin" % n
        with open(os.path.join(inst.root, "ref", name), "wb") as f:
            f.write(data)
        refs[name] = sha(data)
    workers = []
    rc = 1
    start_fds = start_threads = fds = threads = -1
    try:
        inst.start()
        pid = inst.proc.pid
        time.sleep(0.5)
        start_fds, start_threads = counts(pid)
        ctx = h.client_tls_context()
        deadline = time.time() + args.seconds
        for i in range(args.clients):
            os.makedirs(os.path.join(inst.root, "w%03d" % i))
            w = Worker(i, inst.port, deadline, stats, payloads, ctx, refs, args.seed * 1000 + i)
            workers.append(w)
            w.start()
        for w in workers:
            w.join(args.seconds + 300)
        if any(w.is_alive() for w in workers):
            stats.loss("clients still running %d s after the end" % 300)
        # The tree as the models say it must be.
        for w in workers:
            d = os.path.join(inst.root, w.dir)
            present = set(os.listdir(d))
            for name, state in w.model.items():
                if state is UNKNOWN:
                    continue
                if name not in present:
                    stats.loss("%s/%s is gone" % (w.dir, name))
                    continue
                with open(os.path.join(d, name), "rb") as f:
                    data = f.read()
                if sha(data) != state:
                    stats.loss("%s/%s holds other bytes than its last 226 said" % (w.dir, name))
                stats.add("bytes checked", len(data))
            for name in present - set(w.model):
                stats.loss("%s/%s appeared from nowhere" % (w.dir, name))
        for name, want in refs.items():
            with open(os.path.join(inst.root, "ref", name), "rb") as f:
                if sha(f.read()) != want:
                    stats.loss("ref/%s changed" % name)
        # Every session has ended: descriptors and threads come back.
        end = time.time() + 90
        while True:
            fds, threads = counts(pid)
            if (fds, threads) == (start_fds, start_threads) or time.time() > end:
                break
            time.sleep(0.5)
        if inst.proc.poll() is not None:
            stats.loss("the server ended with %s" % inst.proc.returncode)
        if (fds, threads) != (start_fds, start_threads):
            stats.loss("descriptors %d -> %d, threads %d -> %d" %
                       (start_fds, fds, start_threads, threads))
        log = inst.log()
        for marker in ("Logic Error!!", "AddressSanitizer", "runtime error:", "ThreadSanitizer"):
            if marker in log + inst.access_log():
                stats.loss("the server log holds %r" % marker)
        rc = 0 if not stats.losses else 1
    finally:
        try:
            inst.stop()
        except Exception:  # noqa: BLE001 - the summary says what went wrong
            inst.kill()
        inst.close()
    g = stats.get
    print("soak: %d s, %d clients, seed %d: %d sessions (%d plain, %d TLS), %d uploads, "
          "%d appends, %d downloads, %d listings, %d renames, %d deletes, %.1f MiB checked by "
          "sha256; disconnects: %d RST, %d FIN (%d mid-upload, %d mid-download, "
          "%d mid-handshake); descriptors %d->%d, threads %d->%d; %d losses" %
          (args.seconds, args.clients, args.seed, g("sessions"), g("plain"), g("tls"),
           g("uploads"), g("appends"), g("downloads"), g("listings"), g("renames"),
           g("deletes"), g("bytes checked") / (1 << 20), g("rst"), g("fin"),
           g("cut uploads"), g("cut downloads"), g("cut handshakes"), start_fds, fds,
           start_threads, threads, len(stats.losses)))
    for text in stats.losses[:20]:
        print("  loss: " + text)
    return rc


if __name__ == "__main__":
    sys.exit(main())
