#!/usr/bin/env bash
# Fails when an executable imports a DLL or a function that the allow-list
# (lines "dll function", lower-case DLL names) does not name.
#   check_imports.sh OBJDUMP EXE ALLOWLIST
set -euo pipefail
objdump=$1 exe=$2 allow=$3
actual=$("$objdump" -p "$exe" | awk '
  /DLL Name:/ { dll = tolower($3); next }
  /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ && dll != "" { print dll, $3 }
  /^$/ { }')
[ -n "$actual" ] || { echo "no imports read from $exe"; exit 1; }
extra=$(comm -23 <(sort -u <<<"$actual") <(grep -v '^#' "$allow" | sort -u))
if [ -n "$extra" ]; then
  echo "imports outside the Windows XP SP3 allow-list:"
  echo "$extra"
  exit 1
fi
echo "$(wc -l <<<"$actual") imports, all on the allow-list"
