#!/bin/bash
# Cross-compiles tvusergui.exe into $1/bin (see README.md in this directory).
set -euo pipefail
out=${1:?usage: build.sh <build dir>}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
mkdir -p "$out/obj" "$out/bin"
out=$(cd "$out" && pwd)
CXX=x86_64-w64-mingw32-g++-posix
WINDRES=x86_64-w64-mingw32-windres
flags=(-std=c++20 -O1 -g -Wall -Wextra -Wshadow -Wformat=2 -Werror -Wno-attributes
       -D__USE_MINGW_ANSI_STDIO=1 -DTORVA_VERSION='"1.0.0"' -I"$here/shim" -I"$top")
sources=("$top/tvusergui/win32/tvusergui.cpp" "$top/tvusergui/win32/MainWindowWin32.cpp"
         "$top/tvusergui/UserAdmin.cpp" "$top/tvusers/tvusers.cpp" "$top/tvusers/user_file.cpp"
         "$top/platform/registry.cpp" "$here/shim/fs_shim.cpp")
objs=()
for s in "${sources[@]}"; do
  o="$out/obj/$(basename "${s%.cpp}").o"
  $CXX "${flags[@]}" -c "$s" -o "$o"
  objs+=("$o")
done
$WINDRES -DTORVA_VERSION_MAJOR=1 -DTORVA_VERSION_MINOR=0 -DTORVA_VERSION_PATCH=0 \
  -I"$top/tvusergui/win32" -O coff -i "$top/tvusergui/win32/tvusergui.rc" -o "$out/obj/tvusergui_res.o"
$CXX -mwindows -static -o "$out/bin/tvusergui.exe" "${objs[@]}" "$out/obj/tvusergui_res.o" \
  -lcomctl32 -lshell32 -lole32 -luuid -lgdi32 -ladvapi32
echo "$out/bin/tvusergui.exe"
