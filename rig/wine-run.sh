#!/usr/bin/env bash
# Runs one x86_64 Windows program under Wine, in the rig's prefix and display
# (set up by wine-env.sh's wine_up).  Used by ctest for every Wine test.
set -u
exec /usr/lib/wine/wine64 "$@"
