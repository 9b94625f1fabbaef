#!/bin/sh
# Loads the stand-in USB serial driver into a running 64-bit Wine prefix:
#   WINEPREFIX=/path install.sh path/to/qlusbsh.sys
# The prefix must exist and its wineserver run persistently (wine-env.sh's
# wine_up sees to both: without -p, Wine unloads the driver a few seconds
# after the last program ends).  Copies the driver to system32\drivers
# (replacing a running one restarts it), creates the service if missing,
# starts it and waits for RUNNING.  Running it again with the same driver
# changes nothing.
set -eu

SERVICE=qlusbsh
WINE=${WINE64:-/usr/lib/wine/wine64}
START_TIMEOUT=${QLUSBSH_START_TIMEOUT:-30}

fail() {
    echo "install.sh: $*" >&2
    exit 1
}

[ $# -eq 1 ] || fail "usage: WINEPREFIX=/path $0 path/to/$SERVICE.sys"
SYS=$1
[ -f "$SYS" ] || fail "driver image '$SYS' not found"
[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX is not set"
DRIVERS="$WINEPREFIX/drive_c/windows/system32/drivers"
TARGET="$DRIVERS/$SERVICE.sys"
[ -d "$DRIVERS" ] || fail "$DRIVERS missing: is $WINEPREFIX a 64-bit prefix?"

# Prints the service's state word (RUNNING, STOPPED, ...), or nothing if the
# service does not exist.
service_state() {
    "$WINE" sc query "$SERVICE" 2>/dev/null | tr -d '\r' |
        sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

# Waits until the service reaches the state given, for START_TIMEOUT seconds.
wait_state() {
    i=0
    while [ "$(service_state)" != "$1" ]; do
        i=$((i + 1))
        [ "$i" -le $((START_TIMEOUT * 4)) ] || return 1
        sleep 0.25
    done
}

state=$(service_state)
if [ "$state" = RUNNING ] && cmp -s "$SYS" "$TARGET"; then
    echo "install.sh: $SERVICE already running"
    exit 0
fi
if [ "$state" = RUNNING ]; then
    "$WINE" sc stop "$SERVICE" >/dev/null 2>&1 || true
    wait_state STOPPED || fail "$SERVICE did not stop; state: $(service_state)"
fi

# Copied beside and renamed: a loaded image is never rewritten in place.
cp "$SYS" "$TARGET.new"
mv -f "$TARGET.new" "$TARGET"

if [ -z "$state" ]; then
    "$WINE" sc create "$SERVICE" type= kernel start= demand \
        binpath= "C:\\windows\\system32\\drivers\\$SERVICE.sys" >/dev/null 2>&1 ||
        fail "sc create $SERVICE failed"
fi

# sc start may exit non-zero even when the driver started: the state decides.
"$WINE" sc start "$SERVICE" >/dev/null 2>&1 || true
if ! wait_state RUNNING; then
    fail "$SERVICE did not reach RUNNING within ${START_TIMEOUT}s; state: '$(service_state)' (a driver importing more than ntoskrnl.exe, or a relative ImagePath, fails with c0000142)"
fi
echo "install.sh: $SERVICE running"
