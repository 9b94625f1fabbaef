# Wine on Xvfb for the rig, to be sourced.  wine_up makes (once) a 64-bit
# prefix inside the build folder, starts Xvfb on a free display, keeps one
# persistent wineserver for the whole run and loads the stand-in driver;
# wine_down stops what wine_up started.

QL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
QL_BUILD=${QL_BUILD:-$QL_ROOT/build}
export WINEPREFIX=$QL_BUILD/wineprefix
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export QL_XCURSOR=$QL_BUILD/native/rig/xcursor/qlxcursor
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
QL_XVFB_PID=""

# Starts Xvfb on the first free display from :90 on and exports DISPLAY.
xvfb_up() {
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    QL_XVFB_PID=$!
    for _ in $(seq 1 100); do
      [ -e "/tmp/.X11-unix/X$n" ] && { export DISPLAY=":$n"; return 0; }
      kill -0 "$QL_XVFB_PID" 2>/dev/null || break
      sleep 0.1
    done
  done
  echo "wine-env: no display for Xvfb" >&2
  return 1
}

# Creates the prefix once: Wine draws the window frames itself (no window manager runs).
prefix_up() {
  if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$WINEPREFIX/.ql-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINESERVER" -w
    "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$WINESERVER" -w
    touch "$WINEPREFIX/.ql-ready"
  fi
}

wine_up() {
  xvfb_up
  prefix_up
  "$WINESERVER" -p
  local sys=$QL_BUILD/win64/bin/qlusbsh.sys
  if [ -f "$sys" ]; then
    bash "$QL_ROOT/rig/driver/install.sh" "$sys"
  fi
}

wine_down() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "$QL_XVFB_PID" ] && kill "$QL_XVFB_PID" 2>/dev/null || true
  QL_XVFB_PID=""
}
