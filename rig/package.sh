#!/usr/bin/env bash
# Makes the release package for Windows users: quenlow-1.1-win32.zip (the
# shipped i686 quenlow.exe and README.txt) and quenlow-1.1-win32.zip.sha256.
# The same commit gives the same bytes wherever and whenever it is built: the
# zip's times are the last commit's (SOURCE_DATE_EPOCH, unless it is set), and
# Debian's strip-nondeterminism fixes its order, permissions and owners.
#   bash rig/package.sh [WIN32_TREE [OUT]]   (default build/win32, build/package)
# Builds first unless QL_NO_BUILD=1.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
tree=${1:-$ROOT/build/win32}
out=${2:-$ROOT/build/package}
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct)}
if [ "${QL_NO_BUILD:-0}" != 1 ]; then
  bash "$ROOT/rig/setup.sh"
  bash "$ROOT/rig/build.sh" >/dev/null
fi
mkdir -p "$out"
out=$(cd "$out" && pwd)
zip=quenlow-1.1-win32.zip
cpack -G ZIP --config "$tree/CPackConfig.cmake" -B "$out" >/dev/null
rm -rf "$out/_CPack_Packages"
# A zip's times are local times: UTC makes them the same in every time zone.
TZ=UTC strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" "$out/$zip" >/dev/null
# CPack's checksum was of the zip before strip-nondeterminism.
(cd "$out" && sha256sum "$zip" >"$zip.sha256")
echo "package: $out/$zip"
echo "sha256:  $(cut -d' ' -f1 "$out/$zip.sha256")"
