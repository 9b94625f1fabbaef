#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages, with
# 32-bit Wine (the shipped tool is an i686 program).  Only installs: nothing
# is removed or downgraded.  Skips apt when all is there.
set -euo pipefail

PACKAGES=(
  cmake make g++ googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  wine wine64 wine32:i386 xvfb imagemagick libxfixes-dev
  strip-nondeterminism librsvg2-bin icoutils
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture for wine32"
  $SUDO dpkg --add-architecture i386
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi
echo "setup: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-remove "${missing[@]}" >/dev/null
echo "setup: done"
