#!/usr/bin/env bash
# Transfer and listing figures of torvad on loopback, measured with curl:
#   - RETR and STOR of a 1 GiB binary file over PASV (MB/s, median of 5 runs)
#   - LIST, NLST and MLSD of a directory of 10,000 files (ms for the whole
#     curl run, log-in included, median of the runs)
#   - RETR of the 1 GiB file restarted with REST at 900 MiB (bytes moved and
#     MB/s of what was moved)
# The script builds a throw-away instance under a temporary directory (its own
# registry file, user, configuration and data), starts the server on a free
# loopback port, prints one line per figure, stops the server by its PID and
# removes everything it made.
#
# Env: TORVA_BIN (default build/bin), BENCH_RUNS (5), BENCH_MIB (1024),
#      BENCH_FILES (10000), BENCH_KEEP=1 keeps the instance directory.
set -euo pipefail

HERE=$(cd "$(dirname "$0")/.." && pwd)
BIN=${TORVA_BIN:-$HERE/build/bin}
RUNS=${BENCH_RUNS:-5}
MIB=${BENCH_MIB:-1024}
FILES=${BENCH_FILES:-10000}
USER_NAME=bench
USER_PASS=bench-pw

for p in torvad tvreg tvmkuser; do
  [ -x "$BIN/$p" ] || { echo "bench: $BIN/$p is missing (run make build)" >&2; exit 1; }
done
command -v curl >/dev/null || { echo "bench: curl is missing" >&2; exit 1; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/torva-bench.XXXXXX")
SERVER_PID=""
cleanup() {
  if [ -n "$SERVER_PID" ] && kill -0 "$SERVER_PID" 2>/dev/null; then
    kill -TERM "$SERVER_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$SERVER_PID" 2>/dev/null || true
    wait "$SERVER_PID" 2>/dev/null || true
  fi
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "bench: kept $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export TORVA_REGISTRY=$WORK/registry.reg
KEY='HKLM\SOFTWARE\MORVEK SOFTWARE\Torva Server'
mkdir -p "$WORK/users" "$WORK/dclist" "$WORK/conf" "$WORK/root/upload" "$WORK/root/dir10k"
"$BIN/tvreg" add "$KEY" /v Path /t REG_EXPAND_SZ /d "$WORK" /f >/dev/null
"$BIN/tvreg" add "$KEY" /v UserDir /t REG_SZ /d "$WORK/users" /f >/dev/null
"$BIN/tvreg" add "$KEY" /v DisconnectDir /t REG_SZ /d "$WORK/dclist" /f >/dev/null
"$BIN/tvreg" add "$KEY" /v ConfigDir /t REG_SZ /d "$WORK/conf" /f >/dev/null
"$BIN/tvmkuser" -u "$USER_NAME" -p "$USER_PASS" -d "$WORK/root" -w

echo "bench: preparing ${MIB} MiB file and ${FILES} files in $WORK" >&2
head -c $((MIB * 1048576)) /dev/urandom > "$WORK/root/big.bin"
python3 - "$WORK/root/dir10k" "$FILES" <<'EOF'
import os, sys
d, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    with open(os.path.join(d, "file_%06d.dat" % i), "wb") as f:
        f.write(b"x" * 100)
EOF

PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# The settings of a real installation (torvad.conf.$) where they matter for
# speed: a 256 KiB transfer buffer, a listen backlog of 512, names-only NLST.
cat > "$WORK/torvad.conf" <<EOF
bind-host=127.0.0.1
bind-port=$PORT
socket-domain=AF_INET
socket-type=SOCK_STREAM
socket-protocol=tcp
socket-backlog=512
max-connect=300
session-timeout=120
buffer-size=262144
loop-cycle-sec=1
loop-cycle-usec=0
retry-seconds=1
delayed-response=0
pasv-wait=10
dir-separator=/
list-type-NLST=nameonly
enable-command=REST
enable-command=MLSD
failure-limit=0
log-level=1
EOF

(cd "$WORK" && exec "$BIN/torvad" "$WORK/torvad.conf" >"$WORK/server.log" 2>"$WORK/access.log" </dev/null) &
SERVER_PID=$!
for _ in $(seq 100); do
  if python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$PORT),1).close()" 2>/dev/null; then
    break
  fi
  kill -0 "$SERVER_PID" 2>/dev/null || { echo "bench: torvad exited" >&2; cat "$WORK/server.log" >&2; exit 1; }
  sleep 0.1
done

cat "$WORK/root/big.bin" > /dev/null  # page cache, as for every later run

python3 - "$PORT" "$USER_NAME" "$USER_PASS" "$WORK/root" "$RUNS" "$FILES" <<'EOF'
import os, statistics, subprocess, sys, time

port, user, password, root, runs, files = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), int(sys.argv[6])
base = f"ftp://127.0.0.1:{port}/"
big = os.path.join(root, "big.bin")
size = os.path.getsize(big)

def curl(*args):
    cmd = ["curl", "-sS", "--disable-epsv", "--max-time", "300", "-u", f"{user}:{password}", *args]
    t0 = time.perf_counter()
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wall = time.perf_counter() - t0
    if p.returncode != 0:
        sys.exit("bench: curl %s failed (%d): %s" % (" ".join(args), p.returncode, p.stderr.decode(errors="replace")))
    return wall, p.stdout

def rate(walls):
    return size / 1e6 / statistics.median(walls)

retr = []
for _ in range(runs):
    wall, out = curl("-o", "/dev/null", "-w", "%{size_download}", base + "big.bin")
    if int(out) != size:
        sys.exit("bench: RETR moved %s of %d bytes" % (out, size))
    retr.append(wall)
print("RETR %d MiB binary, PASV: %.0f MB/s (median of %d; %s s)" % (size >> 20, rate(retr), runs, " ".join("%.3f" % w for w in retr)), flush=True)

stor = []
target = os.path.join(root, "upload", "up.bin")
for _ in range(runs):
    if os.path.exists(target):
        os.unlink(target)
    wall, out = curl("-T", big, base + "upload/up.bin")
    if os.path.getsize(target) != size:
        sys.exit("bench: STOR stored %d of %d bytes" % (os.path.getsize(target), size))
    stor.append(wall)
os.unlink(target)
print("STOR %d MiB binary, PASV: %.0f MB/s (median of %d; %s s)" % (size >> 20, rate(stor), runs, " ".join("%.3f" % w for w in stor)), flush=True)

for name, extra in (("LIST", []), ("NLST", ["-l"]), ("MLSD", ["-X", "MLSD"])):
    walls = []
    for _ in range(runs):
        wall, out = curl(*extra, base + "dir10k/")
        lines = out.count(b"\n")
        if lines < files:
            sys.exit("bench: %s gave %d lines for %d files" % (name, lines, files))
        walls.append(wall)
    print("%s of %d files: %.1f ms (median of %d curl runs, log-in included; %d lines)" % (
        name, files, statistics.median(walls) * 1e3, runs, lines), flush=True)

# A download restarted at 900 MiB moves only what follows the offset.
offset = min(900 << 20, size)
walls = []
for _ in range(runs):
    wall, out = curl("-C", str(offset), "-o", "/dev/null", "-w", "%{size_download}", base + "big.bin")
    if int(out) != size - offset:
        sys.exit("bench: REST %d moved %s of %d bytes" % (offset, out, size - offset))
    walls.append(wall)
print("RETR after REST %d MiB of %d MiB: %d bytes moved, %.0f MB/s (median of %d; %s s)" % (
    offset >> 20, size >> 20, size - offset, (size - offset) / 1e6 / statistics.median(walls), runs,
    " ".join("%.3f" % w for w in walls)), flush=True)
EOF
