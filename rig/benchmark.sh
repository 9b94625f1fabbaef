#!/usr/bin/env bash
# The benchmark: builds, brings one Wine lane up, and runs qlbench.exe, which
# flashes the simulated handheld with the unmodified shipped executable and
# prints one table of figures with their targets (see rig/bench/qlbench.cpp).
# Not part of the tests.  QL_BENCH_REPEATS sets the runs a timing (default 3).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export QL_BUILD=${QL_BUILD:-$ROOT/build}
bash "$ROOT/rig/setup.sh" >/dev/null
bash "$ROOT/rig/build.sh" >/dev/null
# shellcheck source=wine-env.sh
source "$ROOT/rig/wine-env.sh"
trap wine_down EXIT
wine_up 1
WORK=$QL_BUILD/bench
rm -rf "$WORK"
mkdir -p "$WORK"
"$QL_WINE32" "$QL_BUILD/win32/bin/qlbench.exe" "$WORK" "${QL_BENCH_REPEATS:-3}" | tee "$QL_BUILD/artefacts/benchmark.txt"
echo "machine: $(nproc) CPUs ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), $(/usr/lib/wine/wine64 --version)"
