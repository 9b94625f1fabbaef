#!/bin/sh
# Installs the stand-in USB serial driver into a 64-bit Wine prefix and starts
# it.  Usage: WINEPREFIX=/path install.sh path/to/qlusbsh.sys
#
# - creates the prefix (wineboot -i) if it does not exist yet;
# - keeps a persistent wineserver (wineserver -p) for the prefix, without
#   which Wine unloads the driver a few seconds after the last program ends.
#   If a wineserver already runs for the prefix it is left alone: it must then
#   have been started with -p by the caller;
# - copies the driver to system32\drivers (replacing a running one restarts
#   it), creates the service if missing, starts it and waits for RUNNING.
# Running it again with the same driver changes nothing.
set -eu

SERVICE=qlusbsh
WINE=${WINE64:-/usr/lib/wine/wine64}
WINESERVER=${WINESERVER:-/usr/lib/wine/wineserver}
START_TIMEOUT=${QLUSBSH_START_TIMEOUT:-30}

fail() {
    echo "install.sh: $*" >&2
    exit 1
}

[ $# -eq 1 ] || fail "usage: WINEPREFIX=/path $0 path/to/$SERVICE.sys"
SYS=$1
[ -f "$SYS" ] || fail "driver image '$SYS' not found"
[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX is not set"
export WINEPREFIX
export WINEARCH=${WINEARCH:-win64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "install.sh: creating Wine prefix $WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || fail "wineboot -i failed for $WINEPREFIX"
    "$WINESERVER" -w
fi

# Exit status 2: a wineserver already runs for this prefix.
rc=0
"$WINESERVER" -p || rc=$?
case $rc in
0) ;;
2) echo "install.sh: a wineserver already runs for $WINEPREFIX (it must be persistent: wineserver -p)" ;;
*) fail "wineserver -p failed ($rc)" ;;
esac

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

DRIVERS="$WINEPREFIX/drive_c/windows/system32/drivers"
TARGET="$DRIVERS/$SERVICE.sys"
[ -d "$DRIVERS" ] || fail "$DRIVERS missing: is $WINEPREFIX a 64-bit prefix?"

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
