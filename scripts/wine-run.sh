#!/usr/bin/env bash
# Runs a Windows program under Wine, never longer than WINE_TIMEOUT seconds
# (default 300): CMake's cross-compiling emulator for the unit tests, and the
# way the Windows test scripts start every program. The Wine prefix is
# WINEPREFIX, by default the one that `make test-windows` makes under build-win/.
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build-win/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# The DLLs (tvusers, tvkanji) are found beside the programs in build-win/bin,
# also by the unit tests that live elsewhere.
bin=${TORVA_WIN_BIN:-$root/build-win/bin}
export WINEPATH=${WINEPATH:-Z:${bin//\//\\}}
# No browser or .NET engine: nothing here needs them, and their installers
# would ask.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
exec timeout -k 5 "${WINE_TIMEOUT:-300}" wine "$@"
