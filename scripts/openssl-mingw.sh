#!/usr/bin/env bash
# Builds OpenSSL 3 for Windows x64 (static libraries, headers) with mingw-w64
# from Debian's openssl source package, and prints the installation prefix.
#
#   scripts/openssl-mingw.sh CACHE_DIR
#
# The result is kept under CACHE_DIR/<version>/, so a second run finds it and
# builds nothing. The versions that `apt-cache showsrc openssl` lists are tried
# in turn until one downloads whole (the archive may hold the index of a
# version whose files are gone).
set -euo pipefail
cache=${1:?usage: openssl-mingw.sh CACHE_DIR}
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
log() { echo "openssl-mingw: $*" >&2; }

# A finished build of any version is reused.
for done in "$cache"/*/.complete; do
  [ -e "$done" ] || continue
  dirname "$done"
  exit 0
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The source index: a deb-src twin of each Debian entry, added once.
if ! apt-cache showsrc openssl >/dev/null 2>&1 || [ -z "$(apt-cache showsrc openssl 2>/dev/null)" ]; then
  src=/etc/apt/sources.list.d/torva-deb-src.sources
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources | $SUDO tee "$src" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | $SUDO tee "${src%.sources}.list" >/dev/null
  fi
  log "added the source index, updating"
  $SUDO apt-get update -qq >/dev/null
fi

versions=$(apt-cache showsrc openssl | sed -n 's/^Version: //p' | sort -rV | uniq)
[ -n "$versions" ] || { log "no source versions of openssl are listed"; exit 1; }
work=$(mktemp -d "$cache/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"   # apt downloads as the _apt user
got=""
for v in $versions; do
  case $v in 3.*) ;; *) continue ;; esac
  rm -rf "$work/dl" && mkdir -p "$work/dl" && chmod 777 "$work/dl"
  log "downloading openssl $v"
  if (cd "$work/dl" && timeout 300 apt-get source --download-only -qq "openssl=$v" >/dev/null 2>&1) &&
     tarball=$(ls "$work/dl"/openssl_*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -1) &&
     [ -n "$tarball" ] && tar -tf "$tarball" >/dev/null 2>&1; then
    got=$v
    break
  fi
  log "openssl $v did not download whole; trying the next version"
done
[ -n "$got" ] || { log "no version of openssl could be downloaded"; exit 1; }

upstream=${got#*:}
upstream=${upstream%-*}
prefix="$cache/$upstream"
rm -rf "$prefix"
mkdir -p "$work/src"
tar -xf "$tarball" -C "$work/src" --strip-components=1
log "building openssl $upstream for mingw64 (libraries only)"
(
  cd "$work/src"
  ./Configure mingw64 no-shared no-tests no-module \
    --cross-compile-prefix=x86_64-w64-mingw32- --prefix="$prefix" --libdir=lib >/dev/null
  make -j"${JOBS:-2}" build_libs >/dev/null 2>"$work/build.err" || { tail -40 "$work/build.err" >&2; exit 1; }
  make install_dev >/dev/null
)
touch "$prefix/.complete"
echo "$prefix"
