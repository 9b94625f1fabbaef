#!/usr/bin/env bash
# Builds the three trees under build/: win32 (the shipped i686 executable),
# win64 (the same tool, the rig and the Wine tests) and native (unit tests).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QL_BUILD:-$ROOT/build}
JOBS=$(nproc)

configure() { # tree, extra cmake arguments (given every time: cheap, and a
  local tree=$1; shift  # tree made before an option existed picks it up)
  cmake -S "$ROOT" -B "$BUILD/$tree" "$@" >/dev/null
}
configure win32 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-i686-mingw.cmake"
configure win64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-x86_64-mingw.cmake" \
  -DQUENLOW_I686_EXE="$BUILD/win32/bin/quenlow.exe"
configure native
cmake --build "$BUILD/win32" -j "$JOBS" --target quenlow
cmake --build "$BUILD/win64" -j "$JOBS"
cmake --build "$BUILD/native" -j "$JOBS"
echo "build: $BUILD/win32/bin/quenlow.exe (shipped), $BUILD/win64/bin (rig and tests)"
