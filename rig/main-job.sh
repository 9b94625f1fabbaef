#!/usr/bin/env bash
# The main job: builds the tool, writes a seeded sample nk.nb0, starts the
# simulated handheld (32 MiB flash ROM), runs the shipped i686 tool under Wine
# in a scratch folder, lets the operator confirm "Flash Done!" (with a real
# DISPLAY, press OK yourself), checks that the handheld received exactly the
# connect byte, the length word, the body and the two deferred halves, and
# prints a summary; a failed run says why and ends at once.
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
if [ -n "$REAL_DISPLAY" ]; then
  xvfb_up() { echo "$REAL_DISPLAY" >"$QL_WINE_DIR/lane$1.display"; }
  OK_AFTER=0
else
  OK_AFTER=1500
fi
SIM_PID=""
cleanup() {
  [ -z "$SIM_PID" ] || kill "$SIM_PID" 2>/dev/null || true
  wine_down
}
trap cleanup EXIT
wine_up 1

BIN=$QL_BUILD/win32/bin
WORK=$QL_BUILD/main-job
ART=$QL_BUILD/artefacts
mkdir -p "$WORK" "$ART"
rm -f "$WORK"/*
SIZE=${QL_IMAGE_SIZE:-4194304}
SEED=${QL_SEED:-1}
"$QL_BUILD/native/rig/imagegen/qlimage" "$SIZE" "$SEED" "$WORK/nk.nb0"
winpath() { echo "Z:$1" | tr / '\\'; }

# The handheld: plugged in once it prints "ready"; it ends by itself when the
# tool closes the port after the last block.
# shellcheck disable=SC2086
"$QL_WINE32" "$BIN/qlsim.exe" --rom 32 ${QL_SIM_OPTIONS:-} --exit-after 600000 \
  --log "$(winpath "$WORK/sim.log")" --data "$(winpath "$WORK/sim.data")" \
  </dev/null >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 300); do grep -q ready "$WORK/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$WORK/sim.out" || { echo "main job: the simulated handheld did not start"; cat "$WORK/sim.out"; exit 1; }

START=$(date +%s.%N)
"$QL_WINE32" "$BIN/operator.exe" "$(winpath "$BIN/quenlow.exe")" --cwd "$(winpath "$WORK")" \
  --timeout 300 --ok-after "$OK_AFTER" --shot-at 40 --shot "$ART/main-job.png" | tee "$WORK/operator.out"
END=$(date +%s.%N)
# A handheld that got everything has ended; one still waiting never will.
for _ in $(seq 1 50); do kill -0 "$SIM_PID" 2>/dev/null || break; sleep 0.1; done
kill "$SIM_PID" 2>/dev/null && echo "main job: the simulated handheld was still waiting; ended it"
wait "$SIM_PID" 2>/dev/null || true
SIM_PID=""
# The dialog alone: Xvfb's root is black around it.
[ -f "$ART/main-job.png" ] && convert "$ART/main-job.png" -trim +repage "$ART/main-job-dialog.png" 2>/dev/null || true

# What the handheld must have received: connect byte, length word, body, then
# the deferred block (file offsets 262,144 to 524,287).
LENGTH=$((SIZE - 262144))
{
  printf 'A'
  printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((LENGTH & 255)) $((LENGTH >> 8 & 255)) \
    $((LENGTH >> 16 & 255)) $((LENGTH >> 24 & 255)))"
  tail -c +524289 "$WORK/nk.nb0"
  head -c 524288 "$WORK/nk.nb0" | tail -c 262144
} >"$WORK/expected.bin"

why=()
grep -q 'text="Flash Done!"' "$WORK/operator.out" ||
  why+=("no \"Flash Done!\"; the tool showed: $(grep '^box ' "$WORK/operator.out" | tr '\n' ' ' || true)")
grep -q '^exit 0' "$WORK/operator.out" ||
  why+=("the tool did not end with exit code 0: $(grep '^exit ' "$WORK/operator.out" || echo 'no exit seen')")
touch "$WORK/sim.data"
cmp -s "$WORK/expected.bin" "$WORK/sim.data" ||
  why+=("the handheld received $(stat -c %s "$WORK/sim.data") bytes, $(stat -c %s "$WORK/expected.bin") expected: $(cmp "$WORK/expected.bin" "$WORK/sim.data" 2>&1 | head -1 || true)")
echo
echo "image:      $WORK/nk.nb0, $SIZE bytes, seed $SEED"
echo "blocks:     $(((SIZE - 524288) / 131072)) body blocks and 2 deferred halves of 131,072 bytes (handheld counted: $(grep -o 'blocks=[0-9]*' "$WORK/sim.log" 2>/dev/null | tail -1))"
echo "time:       $(awk "BEGIN { printf \"%.1f\", $END - $START }") s, tool start to exit"
echo "wire:       $(stat -c %s "$WORK/sim.data") bytes received, $(stat -c %s "$WORK/expected.bin") expected"
echo "screenshot: $ART/main-job.png (dialog alone: $ART/main-job-dialog.png)"
echo "logs:       $WORK/operator.out, $WORK/sim.log, $WORK/sim.out"
if [ ${#why[@]} -eq 0 ]; then
  echo "result:     VERIFIED"
  exit 0
fi
echo "result:     FAILED"
for w in "${why[@]}"; do echo "  - $w"; done
exit 1
