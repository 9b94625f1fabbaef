# Wine on Xvfb for the rig, to be sourced.
#
# The rig runs Wine in lanes.  A lane is a 64-bit prefix with 32-bit support
# (the shipped tool is an i686 program), a persistent wineserver, an Xvfb
# display and a loaded copy of the stand-in driver, all its own: tests in
# different lanes share nothing and run side by side.
#   wine_up [LANES]  brings every lane up (default QL_LANES, else 2), making
#                    what is missing; on failure it says why, stops what it
#                    started and returns 1
#   wine_down        stops what wine_up started
#   lane_env N       exports WINEPREFIX and DISPLAY of lane N
# Each Wine test program has a lane (QL_LANE); rig/wine-run.sh enters it.

QL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export QL_BUILD=${QL_BUILD:-$QL_ROOT/build}
QL_WINE_DIR=$QL_BUILD/wine
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export QL_XCURSOR=$QL_BUILD/native/rig/xcursor/qlxcursor
# The only Wine programs the rig runs: Debian's 64-bit and 32-bit loaders, and
# the wineserver script, which picks the server of the prefix's width.
export QL_WINE64=/usr/lib/wine/wine64
export QL_WINE32=/usr/lib/wine/wine
export QL_WINESERVER=/usr/lib/wine/wineserver
QL_LANES_UP=0
QL_XVFB_PIDS=()

lane_env() { # lane
  export WINEPREFIX=$QL_WINE_DIR/prefix$1
  [ -f "$QL_WINE_DIR/lane$1.display" ] && export DISPLAY=$(cat "$QL_WINE_DIR/lane$1.display")
  return 0
}

# Starts Xvfb on the first free display from :90 on for lane N.  An Xvfb that
# never makes its socket is stopped before the next display is tried.
xvfb_up() { # lane
  local n pid
  for n in $(seq 90 160); do
    { [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; } && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 1 100); do
      if [ -e "/tmp/.X11-unix/X$n" ]; then
        QL_XVFB_PIDS+=("$pid")
        echo ":$n" >"$QL_WINE_DIR/lane$1.display"
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  echo "wine-env: no display for Xvfb (lane $1)" >&2
  return 1
}

# True for a prefix that is complete and can run 32-bit programs: a prefix
# made before wine32 was installed can't ("could not load kernel32.dll").
prefix_ok() { # lane
  local p=$QL_WINE_DIR/prefix$1
  [ -f "$p/.ql-ready" ] && [ -f "$p/system.reg" ] && [ -f "$p/drive_c/windows/syswow64/kernel32.dll" ]
}

# Makes lane N's prefix unless it is complete.  Wine draws the window frames
# itself (no window manager runs).
prefix_up() { # lane
  prefix_ok "$1" && return 0
  lane_env "$1"
  rm -rf "$WINEPREFIX"
  if ! "$QL_WINE64" wineboot -i >"$QL_WINE_DIR/wineboot$1.log" 2>&1; then
    echo "wine-env: wineboot failed for lane $1 (see $QL_WINE_DIR/wineboot$1.log)" >&2
    return 1
  fi
  "$QL_WINESERVER" -w
  "$QL_WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  "$QL_WINESERVER" -w
  [ -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] || {
    echo "wine-env: lane $1's prefix has no 32-bit support: is wine32:i386 installed?" >&2
    return 1
  }
  touch "$WINEPREFIX/.ql-ready"
}

# Keeps a wineserver running for the lane (without one, Wine unloads the
# driver a few seconds after the last program ends) and loads the driver.
server_up() { # lane
  lane_env "$1"
  local rc=0
  "$QL_WINESERVER" -p || rc=$?
  # 2: a server already runs for this prefix (it was started persistent).
  [ $rc -eq 0 ] || [ $rc -eq 2 ] || { echo "wine-env: wineserver -p failed ($rc)" >&2; return 1; }
  WINE64=$QL_WINE64 \
    bash "$QL_ROOT/rig/driver/install.sh" "$QL_BUILD/win64/bin/qlusbsh.sys" >/dev/null
}

wine_up() { # [lanes]
  local lanes=${1:-${QL_LANES:-2}} n pids=() failed=0
  mkdir -p "$QL_WINE_DIR"
  QL_LANES_UP=$lanes
  for n in $(seq 0 $((lanes - 1))); do
    xvfb_up "$n" || { wine_down; return 1; }
  done
  # Prefixes are made side by side: wineboot mostly waits.
  for n in $(seq 0 $((lanes - 1))); do
    (lane_env "$n"; prefix_up "$n") &
    pids+=($!)
  done
  for n in "${pids[@]}"; do wait "$n" || failed=1; done
  [ $failed -eq 0 ] || { wine_down; return 1; }
  for n in $(seq 0 $((lanes - 1))); do
    server_up "$n" || { wine_down; return 1; }
  done
  echo "$lanes" >"$QL_WINE_DIR/lanes"
  lane_env 0
}

wine_down() {
  local n pid
  for n in $(seq 0 $((QL_LANES_UP - 1))); do
    (lane_env "$n"; "$QL_WINESERVER" -k >/dev/null 2>&1; "$QL_WINESERVER" -w >/dev/null 2>&1) || true
  done
  for pid in "${QL_XVFB_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${QL_XVFB_PIDS[@]}"; do wait "$pid" 2>/dev/null || true; done
  QL_XVFB_PIDS=()
  QL_LANES_UP=0
  return 0
}
