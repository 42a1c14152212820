#!/bin/bash
# tvusergui.exe under Wine on a virtual X display, driven from the keyboard as
# an administrator would: the error box and the end without "UserDir"; two
# users added through Apply (one read-only); the folder dialog choosing a
# directory that a second Apply stores; the Information box from the Help
# menu; the notice of a second copy; a row selected and a picture of the
# window; Control/Delete with a row selected and with none; System/Exit. The
# user files are checked after each change.
#
# usage: gui_under_wine.sh <build dir with bin/tvusergui.exe> <output png>
# (`make test-windows` runs it through gui_screenshot.py beside it.)
#
# Without DISPLAY the script runs itself under xvfb-run. With WINEPREFIX set it
# uses that prefix (and leaves its wineserver running); otherwise it keeps a
# prefix of its own under the build directory and ends its wineserver after.
# Every wait is bounded; the exit code is non-zero on any failure, and a
# picture of the whole screen is then left in the build directory as *.fail.png.
set -uo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 <build dir> <output png>" >&2
  exit 2
fi

if [ -z "${DISPLAY:-}" ]; then
  exec timeout -k 10 600 xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$@"
fi

build=$(cd "$1" && pwd) || exit 2
out=$2
exe="$build/bin/tvusergui.exe"
if [ ! -f "$exe" ]; then
  echo "FAIL: $exe is missing" >&2
  exit 1
fi

TITLE="Torva Server - User administration GUI"
KEY='HKLM\SOFTWARE\MORVEK SOFTWARE\Torva Server'
WAIT=30 # seconds for a window to appear or a file to change

export WINEDEBUG=${WINEDEBUG:--all}
# No prompts for the .NET and HTML engines when a prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
own_prefix=0
if [ -z "${WINEPREFIX:-}" ]; then
  export WINEPREFIX="$build/wine-gui"
  own_prefix=1
fi

log=$(mktemp "$build/gui-test-wine.XXXXXX.log")
pids=()
work=""

# The test's files live on drive C: of the prefix, which the folder dialog
# browses like any local disk. $1 is a path below drive_c.
winpath() {
  local rel=${1#"$WINEPREFIX/drive_c"}
  printf 'C:%s' "${rel//\//\\}"
}

cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  if [ "$own_prefix" = 1 ]; then timeout 30 wineserver -k 2>/dev/null; fi
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*" >&2
  local screen="$build/$(basename "${out%.png}").fail.png"
  import -window root "$screen" 2>/dev/null && echo "screen: $screen" >&2
  [ -s "$log" ] && sed 's/^/wine: /' "$log" | tail -20 >&2
  exit 1
}
step() { echo "== $*"; }

# The X window of the only visible top-level window titled exactly $1.
wait_window() {
  local deadline=$((SECONDS + WAIT)) id
  while [ $SECONDS -lt $deadline ]; do
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1)
    if [ -n "$id" ]; then
      echo "$id"
      return 0
    fi
    sleep 0.3
  done
  return 1
}

wait_gone() {
  local deadline=$((SECONDS + WAIT))
  while [ $SECONDS -lt $deadline ]; do
    xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1 || return 0
    sleep 0.3
  done
  return 1
}

# Waits until process $1 (a child of this shell) ends; its exit code is then in $rc.
wait_exit() {
  local deadline=$((SECONDS + WAIT))
  while [ $SECONDS -lt $deadline ]; do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1"
      rc=$?
      return 0
    fi
    sleep 0.3
  done
  return 1
}

# Gives window $1 the keyboard and lets Wine settle on the control that gets it.
focus() {
  xdotool windowfocus --sync "$1" 2>/dev/null || fail "cannot focus window $1"
  sleep 0.5
}
keys() {
  xdotool key --delay 80 "$@"
  sleep 0.3
}
type_text() {
  xdotool type --delay 40 -- "$1"
  sleep 0.2
}

# "name|directory|authority" of the user file $1, or nothing.
user_record() {
  python3 - "$inst/users/$1" <<'EOF' 2>/dev/null
import struct, sys
rec = open(sys.argv[1], "rb").read()
if len(rec) != 1140:
    sys.exit(1)
name = rec[32:64].split(b"\0")[0].decode("latin-1")
usrdir = rec[96:1120].split(b"\0")[0].decode("latin-1")
admin = struct.unpack_from("<i", rec, 1120)[0]
print(f"{name}|{usrdir}|{admin}")
EOF
}

# Waits until the user file $1 holds name $1, directory $2 and authority $3.
expect_user() {
  local deadline=$((SECONDS + WAIT)) got=""
  while [ $SECONDS -lt $deadline ]; do
    got=$(user_record "$1")
    [ "$got" = "$1|$2|$3" ] && return 0
    sleep 0.3
  done
  fail "user file $1: expected '$1|$2|$3', found '${got:-nothing}'"
}

step "prefix $WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 180 wineboot -i >>"$log" 2>&1 || fail "wineboot could not make the prefix"
fi
# A fixed place, so that the picture shows the same paths on every run.
work="$WINEPREFIX/drive_c/tvusergui-test"
rm -rf "$work"
inst="$work/inst"
mkdir -p "$inst/sys" "$inst/users" "$work/home/alice" "$work/home/bob"
step "installation $(winpath "$inst")"
timeout 60 wine reg add "$KEY" /v Path /t REG_SZ /d "$(winpath "$inst")" /f >>"$log" 2>&1 ||
  fail "cannot set Path"
# Wine draws the window frames itself, as there is no window manager to do it.
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f \
  >>"$log" 2>&1 || fail "cannot set the frame drawing"

step "without UserDir the list cannot be filled: its box, then the end"
timeout 60 wine reg delete "$KEY" /v UserDir /f >>"$log" 2>&1
timeout -k 5 120 wine "$exe" >>"$log" 2>&1 &
gui=$!
pids+=("$gui")
box=$(wait_window tvusers_list) || fail "no box titled tvusers_list without UserDir"
focus "$box"
keys Return
wait_exit "$gui" || fail "the program did not end after the tvusers_list box"
[ "$rc" = 1 ] || fail "the program ended with $rc after the tvusers_list box, not 1"
[ ! -e "$inst/sys/tvusergui.lck" ] || fail "the lock file is left after the end"

timeout 60 wine reg add "$KEY" /v UserDir /t REG_SZ /d "$(winpath "$inst/users")" /f \
  >>"$log" 2>&1 || fail "cannot set UserDir"

step "start"
timeout -k 5 300 wine "$exe" >>"$log" 2>&1 &
gui=$!
pids+=("$gui")
main=$(wait_window "$TITLE") || fail "the window '$TITLE' did not appear"
[ -f "$inst/sys/tvusergui.lck" ] || fail "no instance lock file while the window runs"
lock=$(head -c 16 "$inst/sys/tvusergui.lck")
[ "$lock" = "Torva Server UAG" ] || fail "lock file holds '$lock'"
focus "$main"

# Tab order: name, password, directory, "...", authority, Apply, Clear, list.
# The user name field has the focus first.
step "add alice (writable)"
type_text alice
keys Tab
type_text alice-pw
keys Tab
type_text "$(winpath "$work/home/alice")"
keys Tab Tab Tab space
expect_user alice "$(winpath "$work/home/alice")" 0

step "clear, add bob (readonly)"
keys Tab space                                              # Clear
keys shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab shift+Tab # back to the name
type_text bob
keys Tab
type_text bob-pw
keys Tab
type_text "$(winpath "$work/home/bob")"
keys Tab Tab Down Tab space
expect_user bob "$(winpath "$work/home/bob")" 1

step "browse: the folder chosen in the dialog, stored by Apply"
# A directory that does not exist: the dialog opens on its root, and OK
# takes the folder selected there.
keys shift+Tab shift+Tab shift+Tab # authority, "...", directory (all selected)
type_text 'C:\nowhere\x'
keys Tab space
browse=$(wait_window "Browse for Folder") || fail "the folder dialog did not appear"
focus "$browse"
keys Return
wait_gone "Browse for Folder" || fail "the folder dialog did not close"
focus "$main"      # back on "..."
keys Tab Tab space # authority, Apply
deadline=$((SECONDS + WAIT))
while :; do
  rec=$(user_record bob)
  chosen=${rec#bob|}
  chosen=${chosen%|1}
  [ "$rec" = "bob|$chosen|1" ] && [ "$chosen" != "$(winpath "$work/home/bob")" ] && break
  [ $SECONDS -lt $deadline ] || fail "Apply after the folder dialog left bob as '$rec'"
  sleep 0.3
done
[ "$chosen" != 'C:\nowhere\x' ] || fail "the folder dialog put nothing into the directory field"
unix=$(timeout 30 winepath -u "$chosen" 2>>"$log")
[ -n "$unix" ] && [ -d "$unix" ] || fail "the chosen folder '$chosen' is not a directory"
echo "chosen folder: $chosen"

step "Help/Information from the keyboard"
focus "$main"
keys alt+h i
info=$(wait_window "Information") || fail "the Information box did not appear"
focus "$info"
keys Return
wait_gone "Information" || fail "the Information box did not close"

step "a second copy shows the notice and ends with 0"
timeout -k 5 60 wine "$exe" >>"$log" 2>&1 &
second=$!
pids+=("$second")
notice=$(wait_window "Notice") || fail "the second copy showed no notice"
focus "$notice"
keys Return
wait_exit "$second" || fail "the second copy did not end"
[ "$rc" = 0 ] || fail "the second copy ended with $rc, not 0"

step "select bob's row; picture"
focus "$main"
keys Tab Tab Down Down # Clear, list; the first row, then the second
sleep 1
mkdir -p "$(dirname "$out")"
import -window "$main" "$out" || fail "cannot take the picture"
echo "picture: $out"

step "Control/Delete removes the selected user; with none selected, a warning"
focus "$main"
keys alt+c d
deadline=$((SECONDS + WAIT))
while [ -e "$inst/users/bob" ]; do
  [ $SECONDS -lt $deadline ] || fail "Control/Delete left bob's user file"
  sleep 0.3
done
focus "$main"
keys alt+c d
warning=$(wait_window Warning) || fail "no warning when deleting with nothing selected"
focus "$warning"
keys Return
wait_gone Warning || fail "the warning did not close"

step "System/Exit ends with 1 and removes the lock"
focus "$main"
keys alt+s x
wait_exit "$gui" || fail "the window did not end after System/Exit"
[ "$rc" = 1 ] || fail "the window ended with $rc, not 1"
[ ! -e "$inst/sys/tvusergui.lck" ] || fail "the lock file is left after the end"
[ "$(ls "$inst/users" | tr '\n' ' ')" = "alice " ] ||
  fail "users left: $(ls "$inst/users")"

rm -rf "$work" "$log"
echo "PASS: tvusergui.exe under Wine"
