#!/usr/bin/env bash
# Runs one Windows program under Wine in the Wine lane that the test was given
# (QL_LANE, set per test program in tests/wine/CMakeLists.txt, where a lock per
# lane keeps two tests out of one lane), or in lane 0 when run by hand.  With
# fewer lanes up, lanes fold onto those there are.  wine-env.sh's wine_up must
# have brought the lanes up.  The 32-bit loader also starts 64-bit programs.
set -u
# shellcheck source=wine-env.sh
source "$(dirname "$0")/wine-env.sh"
lane_env $((${QL_LANE:-0} % $(cat "$QL_WINE_DIR/lanes")))
exec "$QL_WINE32" "$@"
