#!/usr/bin/env bash
# Checks what Explorer and anyone rebuilding see of the shipped executable: an
# icon group with the sizes Explorer uses, no debug sections, and no trace of
# the folders it was built from.
#   shipped_exe.sh OBJDUMP EXE SOURCE_DIR BUILD_DIR
set -euo pipefail
objdump=$1 exe=$2 src=$3 build=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Type 14 is RT_GROUP_ICON; wrestool writes it out as an .ico with its images.
wrestool -x --type=14 -o "$tmp/icon.ico" "$exe"
sizes=$(icotool -l "$tmp/icon.ico" | grep -o -- '--width=[0-9]*' | cut -d= -f2 | sort -n | tr '\n' ' ')
[ "$sizes" = "16 24 32 48 256 " ] || { echo "icon group sizes: '$sizes'"; exit 1; }
debug=$("$objdump" -h "$exe" | awk '$2 ~ /^\.debug/ { print $2 }')
[ -z "$debug" ] || { echo "debug sections:" $debug; exit 1; }
for dir in "$src" "$build"; do
  if grep -q -F "$dir" "$exe"; then echo "$exe names $dir"; exit 1; fi
done
echo "icon of ${sizes}pixels, no debug sections, no build folder"
