#!/usr/bin/env bash
# The one command that installs, builds and runs every test: the native unit
# tests, then the Wine tests against the real x86_64 executable and the rig.
# Ends with a line "tests: N passed, N failed".
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/rig/setup.sh" || exit 1
bash "$ROOT/rig/build.sh" || exit 1
# shellcheck source=wine-env.sh
source "$ROOT/rig/wine-env.sh"
trap wine_down EXIT
wine_up || exit 1
mkdir -p "$QL_BUILD/artefacts"

passed=0 failed=0 status=0
run_ctest() { # tree
  local log="$QL_BUILD/artefacts/ctest-$1.log"
  ctest --test-dir "$QL_BUILD/$1" --output-on-failure --timeout 600 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  [ -n "$total" ] || { total=0; bad=1; status=1; }
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}
run_ctest native
run_ctest win64
echo "tests: $passed passed, $failed failed"
exit $status
