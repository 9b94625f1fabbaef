#!/usr/bin/env bash
# Builds the three trees under build/ (or QL_BUILD), of build type
# QL_BUILD_TYPE (default: optimised with assertions on):
#   native  the pure rules with GoogleTest under ASan/UBSan, and qlxcursor,
#           the Linux program with which the Wine tests read the X cursor
#   win64   the x86_64 tool and the stand-in driver (the prefix is 64-bit)
#   win32   the shipped i686 tool, the rig's Windows programs and the Wine
#           tests, which also run the x86_64 tool once
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${QL_BUILD:-$ROOT/build}
JOBS=$(nproc)
TYPE=()
[ -z "${QL_BUILD_TYPE:-}" ] || TYPE=(-DCMAKE_BUILD_TYPE="$QL_BUILD_TYPE")

configure() { # tree, extra cmake arguments (given every time: cheap, and a
  local tree=$1; shift  # tree made before an option existed picks it up)
  cmake -S "$ROOT" -B "$BUILD/$tree" "${TYPE[@]}" "$@" >/dev/null
}
configure native
configure win64 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-x86_64-mingw.cmake"
configure win32 -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-i686-mingw.cmake" \
  -DQUENLOW_X64_EXE="$BUILD/win64/bin/quenlow.exe"
cmake --build "$BUILD/native" -j "$JOBS"
cmake --build "$BUILD/win64" -j "$JOBS"
cmake --build "$BUILD/win32" -j "$JOBS"
echo "build: $BUILD/win32/bin/quenlow.exe (shipped), $BUILD/win32/bin (rig and tests)"
