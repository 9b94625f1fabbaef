#!/usr/bin/env bash
# Makes the release package for Windows users: quenlow-1.1-win32.zip (the
# shipped i686 quenlow.exe and README.txt) and quenlow-1.1-win32.zip.sha256.
#   bash rig/package.sh [WIN32_TREE [OUT]]   (default build/win32, build/package)
# Builds first unless QL_NO_BUILD=1.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:-$ROOT/build/win32}
out=${2:-$ROOT/build/package}
if [ "${QL_NO_BUILD:-0}" != 1 ]; then
  bash "$ROOT/rig/setup.sh"
  bash "$ROOT/rig/build.sh" >/dev/null
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
cpack -G ZIP --config "$tree/CPackConfig.cmake" -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
echo "package: $out/quenlow-1.1-win32.zip"
echo "sha256:  $(cut -d' ' -f1 "$out/quenlow-1.1-win32.zip.sha256")"
