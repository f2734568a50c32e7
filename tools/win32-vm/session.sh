#!/usr/bin/env bash
# The guest's session, started by its init from the run folder the host filled (settings: mode,
# src, tree, exe, ctest_args): a virtual display, the tree's Wine prefix kept in the guest's image
# (made on the first boot, when the image is written back), then the 32-bit tree's CTest suite,
# run the way a host that runs 32-bit code runs it, from the same trees at the same paths. The
# output goes to ctest.log here and, as it comes, to the second serial port the host shows.
set -u
run="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$run/settings"
export HOME=/root LANG=C.UTF-8
# Wine runs several times slower here than on a host: the end-to-end harness stretches its bounds.
export PARVOLET_WAIT_SCALE=6
# The tree's scripts take the prefix from here: one in the image, not in the host's build tree.
export PARVOLET_WINEPREFIX=/var/lib/parvolet/prefix
since_boot() { cut -d' ' -f1 /proc/uptime; }
echo "start $(since_boot)" >>"$run/times"

Xvfb :7 -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
tries=0
while [ ! -S /tmp/.X11-unix/X7 ] && [ "$tries" -lt 240 ]; do sleep 0.5; tries=$((tries + 1)); done
if [ ! -S /tmp/.X11-unix/X7 ]; then
  echo "Xvfb did not start" >"$run/error"
  exit 1
fi
export DISPLAY=:7

finish() {
  echo "end $(since_boot)" >>"$run/times"
  WINEPREFIX="$PARVOLET_WINEPREFIX" wineserver -k >/dev/null 2>&1
  kill "$xvfb" 2>/dev/null
  exit "$1"
}

if ! "$tree/prepare-prefix"; then
  echo "the tree's prepare-prefix could not make the Wine prefix" >"$run/error"
  finish 1
fi
echo "prefix $(since_boot)" >>"$run/times"
case "$mode" in
  prepare)
    echo ok >"$run/prepared"
    finish 0
    ;;
  suite)
    if [ -n "$exe" ]; then
      # The given exe takes the place of the tree's, in this guest only: read-only, so nothing of
      # the run can write through to it, and the host's file stays as it was.
      if ! mount --bind "$exe" "$tree/app/parvolet.exe" || ! mount -o remount,bind,ro "$tree/app/parvolet.exe"; then
        echo "the given exe could not take the tree's place" >"$run/error"
        finish 1
      fi
    fi
    # Wine's server and services start once, before CTest lists the first program's cases: their
    # first start in a fresh overlay can outlast CTest's bound for that listing. The server then
    # stays for the whole run, and the tree's runner is told it need not start them again.
    WINEPREFIX="$PARVOLET_WINEPREFIX" wineserver -p </dev/null >/dev/null 2>&1
    "$tree/wine-run" cmd.exe /c exit </dev/null >/dev/null 2>&1
    export PARVOLET_WINE_SERVICES_KEPT=1
    echo "wine $(since_boot)" >>"$run/times"
    cd "$src" || finish 1
    ctest --preset win --test-dir "$tree" "${ctest_args[@]}" 2>&1 | tee "$run/ctest.log" >/dev/ttyS1
    echo "${PIPESTATUS[0]}" >"$run/ctest-status"
    finish 0
    ;;
esac
echo "unknown mode $mode" >"$run/error"
finish 1
