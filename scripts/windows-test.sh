#!/usr/bin/env bash
# `make test-windows`: the Windows build (build-win/) under Wine.
#
# Makes a Wine prefix under the build directory, keeps one wineserver running
# for the whole run (-p: services end 1-2 s after the last ordinary Wine
# process otherwise) and ends it afterwards, and runs, each under a time limit:
#   1. the unit tests through CMake's cross-compiling emulator (ctest),
#   2. the integration suite against torvad.exe from Linux clients,
#   3. the DLL exports and the service cycle on Wine's Service Control Manager,
#   4. the administration window driven under the display, with its picture
#      saved as docs/tvusergui-windows.png, when the build has one.
# Everything runs inside one xvfb-run (a headless Wine run followed by one on
# a display can hang).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WIN_DIR:-$root/build-win}
case $build in /*) ;; *) build=$root/$build ;; esac

if [ -z "${TORVA_WINE_INNER:-}" ]; then
  export TORVA_WINE_INNER=1
  exec timeout -k 10 "${WINDOWS_TEST_TIMEOUT:-1800}" xvfb-run -a -s "-screen 0 1280x1024x24" \
    bash "$0" "$@"
fi

export WINEPREFIX=$build/wine
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export TORVA_WIN_BIN=$build/bin
wine_run=$root/scripts/wine-run.sh

times=()
stage() {
  local name=$1 start=$SECONDS
  shift
  echo "test-windows: $name"
  local rc=0
  "$@" || rc=$?
  times+=("$(printf '%-12s %4d s  %s' "$name" $((SECONDS - start)) "$([ $rc -eq 0 ] && echo ok || echo FAILED)")")
  return $rc
}

make_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    WINE_TIMEOUT=180 "$wine_run" wineboot -i >/dev/null 2>&1
  fi
}

server_pid=""
# Ends this prefix's wineserver (and with it every Wine process of the run).
end_server() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  # -k only asks; the next server must not meet the one that is ending.
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  if [ -n "$server_pid" ]; then
    if kill -0 "$server_pid" 2>/dev/null; then kill "$server_pid" 2>/dev/null || true; fi
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
  fi
}
trap end_server EXIT

failed=0
# A server left from an earlier run (on no display, perhaps) is not reused.
end_server
stage prefix make_prefix
# In the foreground of its own process, so that it is ended by its PID.
timeout -k 10 3600 wineserver -f -p &
server_pid=$!
sleep 1
# The first program of a fresh server starts Wine's own services, which stay
# as long as the server and keep the standard streams they were given: they
# get /dev/null here, not the pipe of a test that would then never see its end.
WINE_TIMEOUT=120 "$wine_run" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true

stage unit ctest --test-dir "$build" -j1 --output-on-failure --timeout 300 || failed=1

py_env=(env TORVA_WINE="$wine_run" TORVA_BIN="$build/bin" TORVA_SOURCE="$root"
        PYTHONDONTWRITEBYTECODE=1)
stage integration "${py_env[@]}" timeout -k 10 1200 \
  python3 "$root/tests/win32/run_integration.py" || failed=1
stage service "${py_env[@]}" timeout -k 10 300 \
  python3 "$root/tests/win32/test_windows.py" -v || failed=1

# The window: driven from the keyboard on this run's display, with its
# picture saved for the README. It gets a wineserver of its own: with the one
# that the services and the hundreds of programs before it ran under, its
# window did not show.
end_server
if [ -f "$build/bin/tvusergui.exe" ] && [ -f "$root/tests/win32/gui_screenshot.py" ]; then
  stage gui "${py_env[@]}" timeout -k 10 600 \
    python3 "$root/tests/win32/gui_screenshot.py" "$root/docs/tvusergui-windows.png" || failed=1
else
  echo "test-windows: no tvusergui.exe in this build; the window is not tested"
fi

printf 'test-windows: %s\n' "${times[@]}"
exit $failed
