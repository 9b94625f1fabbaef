#!/usr/bin/env bash
# Runs one Windows program under Wine in the Wine lane that ctest gave the
# test (CTEST_RESOURCE_GROUP_0_LANES="id:N,slots:1"), or in lane 0 when run by
# hand.  wine-env.sh's wine_up must have brought the lanes up.  The 32-bit
# loader also starts 64-bit programs.
set -u
# shellcheck source=wine-env.sh
source "$(dirname "$0")/wine-env.sh"
lane=0
if [[ ${CTEST_RESOURCE_GROUP_0_LANES:-} =~ id:([0-9]+) ]]; then lane=${BASH_REMATCH[1]}; fi
lane_env "$lane"
exec "$QL_WINE32" "$@"
