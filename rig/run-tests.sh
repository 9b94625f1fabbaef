#!/usr/bin/env bash
# The one command that installs, builds and runs every test: the native unit
# tests, then the Wine tests against the shipped i686 executable and the rig,
# side by side in QL_LANES Wine lanes (default 2), the fixed seeds of random
# handhelds among them.  It also builds every tree once more as a Release
# build, so that build type stays healthy.  QL_SKIP_SOAK=1 skips the soak's
# full flashes for a quick local run.  Ends with "tests: N passed, N failed".
# QL_SEED_COUNT=N (and QL_SEED_FROM=S) runs N random handhelds instead.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export QL_BUILD=${QL_BUILD:-$ROOT/build}
bash "$ROOT/rig/setup.sh" || exit 1
bash "$ROOT/rig/build.sh" || exit 1
[ -n "${QL_SEED_COUNT:-}" ] || QL_BUILD=$QL_BUILD/release QL_BUILD_TYPE=Release bash "$ROOT/rig/build.sh" >/dev/null ||
  { echo "tests: the Release build failed"; exit 1; }
# shellcheck source=wine-env.sh
source "$ROOT/rig/wine-env.sh"
trap wine_down EXIT
wine_up || exit 1
ART=$QL_BUILD/artefacts
mkdir -p "$ART"

passed=0 failed=0 skipped=0 status=0
# Runs one tree's tests; counts come from ctest's JUnit report.
run_ctest() { # tree, extra ctest arguments
  local tree=$1 junit="$ART/ctest-$1.xml"; shift
  rm -f "$junit"
  ctest --test-dir "$QL_BUILD/$tree" --output-on-failure --timeout 600 \
    --output-junit "$junit" "$@" 2>&1 | tee "$ART/ctest-$tree.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local suite tests failures skip
  suite=$(tr '\n\t' '  ' <"$junit" 2>/dev/null | grep -o '<testsuite [^>]*>' | head -1)
  tests=$(grep -o ' tests="[0-9]*"' <<<"$suite" | grep -o '[0-9]*')
  failures=$(grep -o ' failures="[0-9]*"' <<<"$suite" | grep -o '[0-9]*')
  skip=$(grep -o ' skipped="[0-9]*"' <<<"$suite" | grep -o '[0-9]*')
  if [ -z "$tests" ] || [ -z "$failures" ]; then
    echo "tests: no JUnit report from $tree"
    status=1 failed=$((failed + 1))
    return
  fi
  passed=$((passed + tests - failures - ${skip:-0}))
  failed=$((failed + failures))
  skipped=$((skipped + ${skip:-0}))
}
if [ -n "${QL_SEED_COUNT:-}" ]; then
  # Random handhelds on demand: QL_SEED_COUNT seeds from QL_SEED_FROM (default:
  # from the clock), in lane 0; every failing seed is printed with the command
  # that replays it.
  QL_LANE=0 bash "$ROOT/rig/wine-run.sh" "$QL_BUILD/win32/bin/soak_test.exe" \
    --gtest_filter=RandomSeeds.* 2>&1 | tee "$ART/seeds.log"
  exit "${PIPESTATUS[0]}"
fi
run_ctest native -j "$(nproc)"
run_ctest win32 -j "$QL_LANES_UP"
echo "tests: $passed passed, $failed failed$([ $skipped -eq 0 ] || echo ", $skipped skipped")"
exit $status
