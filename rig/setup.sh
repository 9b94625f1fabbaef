#!/usr/bin/env bash
# Installs what the build and the tests need, from Debian's packages, with
# 32-bit Wine (the shipped tool is an i686 program).  Only installs: nothing
# is removed or downgraded.  Skips apt when all is there.  A package index
# that can't be fetched whole (a mirror in the middle of a sync) is fetched
# again a few times; what still fails is said in one line, with what to do.
set -uo pipefail

PACKAGES=(
  cmake make g++ googletest
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  wine wine64 wine32:i386 xvfb imagemagick libxfixes-dev
  strip-nondeterminism librsvg2-bin icoutils
)
TRIES=${QL_APT_TRIES:-4}

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture for wine32"
  $SUDO dpkg --add-architecture i386 || { echo "setup: failed: dpkg --add-architecture i386; run it as root"; exit 1; }
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
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# apt-get update exits non-zero when any index arrives short or not at all;
# the next try usually finds the mirror whole again.
for try in $(seq 1 "$TRIES"); do
  $SUDO apt-get update -qq >"$log" 2>&1 && break
  echo "setup: package index incomplete (try $try of $TRIES): $(grep -m1 '^E:' "$log" | cut -c1-160)"
  [ "$try" -lt "$TRIES" ] && sleep $((try * 15))
done
# Indexes that are still missing may not be needed: try the install anyway.
for try in $(seq 1 "$TRIES"); do
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-remove "${missing[@]}" >"$log" 2>&1 &&
    { echo "setup: done"; exit 0; }
  [ "$try" -lt "$TRIES" ] && { sleep $((try * 15)); $SUDO apt-get update -qq >/dev/null 2>&1; }
done
# With the security archive's i386 index missing, amd64 and i386 candidates
# differ and multi-arch libraries can't be paired: the release's own archive
# alone gives both architectures the same versions.
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-remove -t "$codename" "${missing[@]}" >"$log" 2>&1 &&
  { echo "setup: done (from $codename's own archive: an index of its updates could not be fetched)"; exit 0; }
echo "setup: failed: apt-get could not install ${missing[*]} ($(grep -m1 '^E:' "$log" | cut -c1-200)); the package mirror is probably mid-sync: wait a few minutes and run the same command again"
exit 1
