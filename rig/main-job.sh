#!/usr/bin/env bash
# The main job: builds the tool, starts the simulated handheld (32 MiB flash
# ROM), writes a sample nk.nb0, runs the shipped tool's x86_64 twin under Wine
# in a scratch folder, lets the operator confirm "Flash Done!" (with a real
# DISPLAY, press OK yourself), checks that the handheld received exactly the
# length word, the body and the two deferred halves, and prints a summary.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
bash "$ROOT/rig/setup.sh"
bash "$ROOT/rig/build.sh" >/dev/null
REAL_DISPLAY=${DISPLAY:-}
# shellcheck source=wine-env.sh
source "$ROOT/rig/wine-env.sh"
if [ -n "$REAL_DISPLAY" ]; then
  xvfb_up() { export DISPLAY=$REAL_DISPLAY; }
  OK_AFTER=0
else
  OK_AFTER=1500
fi
trap wine_down EXIT
wine_up

BIN=$QL_BUILD/win64/bin
WORK=$QL_BUILD/main-job
ART=$QL_BUILD/artefacts
mkdir -p "$WORK" "$ART"
rm -f "$WORK"/*
SIZE=${QL_IMAGE_SIZE:-4194304}   # 524,288 + 28 x 131,072: 28 body blocks, 2 deferred halves
head -c "$SIZE" /dev/urandom >"$WORK/nk.nb0"
winpath() { echo "Z:$1" | tr / '\\'; }

# The handheld: plugged in once it prints "ready"; it ends when the tool
# closes the port after the last block.
"$WINE" "$BIN/qlsim.exe" --rom 32 --exit-after 600000 \
  --log "$(winpath "$WORK/sim.log")" --data "$(winpath "$WORK/sim.data")" \
  </dev/null >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
for _ in $(seq 1 300); do grep -q ready "$WORK/sim.out" 2>/dev/null && break; sleep 0.1; done
grep -q ready "$WORK/sim.out" || { echo "main job: the simulated handheld did not start"; cat "$WORK/sim.out"; exit 1; }

START=$(date +%s.%N)
"$WINE" "$BIN/operator.exe" "$(winpath "$BIN/quenlow.exe")" --cwd "$(winpath "$WORK")" \
  --timeout 600 --ok-after "$OK_AFTER" --shot-at 40 --shot "$ART/main-job.png" | tee "$WORK/operator.out"
END=$(date +%s.%N)
wait "$SIM_PID" || true
# The dialog alone: Xvfb's root is black around it.
convert "$ART/main-job.png" -trim +repage "$ART/main-job-dialog.png" 2>/dev/null || true

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

RESULT=FAILED
if grep -q 'text="Flash Done!"' "$WORK/operator.out" && grep -q '^exit 0' "$WORK/operator.out" &&
   cmp -s "$WORK/expected.bin" "$WORK/sim.data"; then
  RESULT=VERIFIED
fi
echo
echo "image:      $WORK/nk.nb0, $SIZE bytes"
echo "blocks:     $(((SIZE - 524288) / 131072)) body blocks and 2 deferred halves of 131,072 bytes (handheld counted: $(grep -o 'blocks=[0-9]*' "$WORK/sim.log" | tail -1))"
echo "time:       $(awk "BEGIN { printf \"%.1f\", $END - $START }") s, tool start to exit"
echo "wire:       $(stat -c %s "$WORK/sim.data" 2>/dev/null || echo 0) bytes received, $(stat -c %s "$WORK/expected.bin") expected"
echo "screenshot: $ART/main-job.png (dialog alone: $ART/main-job-dialog.png)"
echo "result:     $RESULT"
[ "$RESULT" = VERIFIED ]
