#!/usr/bin/env bash
# Installs what building and testing need, with apt-get, only when something is
# missing. Quiet when everything is there; safe to run any number of times.
set -euo pipefail

# fail2ban: fail2ban-regex checks the shipped filter; scdoc builds the manual
# pages, man-db and groff-base render them in a test; passwd: useradd for the
# test of an unprivileged server.
packages=(cmake ninja-build g++ make pkg-config libssl-dev openssl libgtest-dev
          python3 curl lftp wget netbase ca-certificates procps
          libsystemd-dev util-linux fail2ban scdoc man-db groff-base passwd
          libfltk1.3-dev libx11-dev fonts-dejavu-core xvfb xdotool imagemagick binutils
          clang libclang-rt-14-dev)  # clang: the libFuzzer harnesses of `make fuzz`
# `deps.sh lint`: what make lint needs besides.
if [ "${1:-}" = lint ]; then packages=(clang-format clang-tidy git); fi
# `deps.sh windows`: the cross compilers, Wine (64-bit alone) and Xvfb of the
# Windows build and its tests, besides the rest.
if [ "${1:-}" = windows ]; then packages+=(mingw-w64 wine wine64 xvfb); fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "deps: need root to install: ${missing[*]}" >&2; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
