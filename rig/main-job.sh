#!/usr/bin/env bash
# The main job: builds the tool, then runs main_job.exe (rig/harness/main_job.cpp)
# in one Wine lane: it writes a seeded sample nk.nb0, starts the simulated
# handheld (32 MiB flash ROM), runs the shipped i686 tool in build/main-job/,
# lets the operator confirm "Flash Done!" (with a real DISPLAY, press OK
# yourself), judges the run with the oracle that judges every test run (the
# handheld must receive exactly the connect byte, the length word, the body
# and the two deferred halves), takes a screenshot at 40 % and prints a
# summary ending in "result: VERIFIED", or "result: FAILED" and why.
#   QL_IMAGE_SIZE  image size in bytes (default 4194304: 28 body blocks)
#   QL_SEED        seed of the image's bytes (default 1): the same seed gives
#                  the same image, so a failed run can be repeated
#   QL_SIM_OPTIONS further options for the simulated handheld (see README),
#                  for example --absent
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
export QL_BUILD=${QL_BUILD:-$ROOT/build}
bash "$ROOT/rig/setup.sh"
bash "$ROOT/rig/build.sh" >/dev/null
REAL_DISPLAY=${DISPLAY:-}
# shellcheck source=wine-env.sh
source "$ROOT/rig/wine-env.sh"
export QL_OK_BY_PERSON=0
if [ -n "$REAL_DISPLAY" ]; then
  xvfb_up() { echo "$REAL_DISPLAY" >"$QL_WINE_DIR/lane$1.display"; }
  QL_OK_BY_PERSON=1
fi
trap wine_down EXIT
wine_up 1

WORK=$QL_BUILD/main-job
ART=$QL_BUILD/artefacts
mkdir -p "$WORK" "$ART"
rm -rf "${WORK:?}"/* "$ART/main-job.png" "$ART/main-job-dialog.png"
status=0
QL_LANE=0 bash "$ROOT/rig/wine-run.sh" "$QL_BUILD/win32/bin/main_job.exe" || status=$?
# The dialog alone: Xvfb's root is black around it.
[ ! -f "$ART/main-job.png" ] || convert "$ART/main-job.png" -trim +repage "$ART/main-job-dialog.png" 2>/dev/null || true
exit $status
