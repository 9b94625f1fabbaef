#!/usr/bin/env bash
# Builds the release package a second time, from a copy of the sources in
# another folder and so at another time, and checks that the executable, the
# zip and its SHA-256 file match the tree's and the package made from it (by
# unpack.sh) byte for byte.  Only the shipped executable is built in the copy.
#   rebuild.sh WIN32_TREE PACKAGE OUT
set -euo pipefail
tree=$1 package=$2 out=$3
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
export SOURCE_DATE_EPOCH=$(git -C "$ROOT" log -1 --format=%ct)
rm -rf "$out"
mkdir -p "$out/src"
# The sources as they stand, committed or not, without what git ignores.
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
  tar --null -T - --ignore-failed-read -cf -) | tar -xf - -C "$out/src"
copy=$out/src/build/win32
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$tree/CMakeCache.txt")
# Packing must not build the whole copy, only what ships.
cmake -S "$out/src" -B "$copy" -DCMAKE_TOOLCHAIN_FILE="$out/src/cmake/toolchain-i686-mingw.cmake" \
  -DCMAKE_BUILD_TYPE="$type" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$copy" --target quenlow -j "$(nproc)" >/dev/null
QL_NO_BUILD=1 bash "$out/src/rig/package.sh" "$copy" "$out/elsewhere" >/dev/null
cmp "$tree/bin/quenlow.exe" "$copy/bin/quenlow.exe"
for f in quenlow-1.1-win32.zip quenlow-1.1-win32.zip.sha256; do cmp "$package/$f" "$out/elsewhere/$f"; done
echo "package rebuilt in $out/src: identical, sha256 $(cut -d' ' -f1 "$out/elsewhere/quenlow-1.1-win32.zip.sha256")"
