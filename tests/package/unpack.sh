#!/usr/bin/env bash
# Makes the release package from the i686 tree into OUT, checks the zip
# against its SHA-256 file and its contents, and unpacks it into OUT/unpacked.
#   unpack.sh WIN32_TREE OUT
set -euo pipefail
tree=$1 out=$2
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$out"
QL_NO_BUILD=1 bash "$ROOT/rig/package.sh" "$tree" "$out" >/dev/null
cd "$out"
sha256sum -c quenlow-1.1-win32.zip.sha256
mkdir unpacked
(cd unpacked && cmake -E tar xf ../quenlow-1.1-win32.zip)
contents=$(cd unpacked && find . -type f | sort | tr '\n' ' ')
[ "$contents" = "./README.txt ./quenlow.exe " ] || { echo "zip holds: $contents"; exit 1; }
cmp unpacked/quenlow.exe "$tree/bin/quenlow.exe"
echo "package: checksum, contents and executable as built"
