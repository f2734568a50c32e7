#!/bin/sh
# The guest's session, run by its init from the second disk: a virtual display, the Wine prefix
# (made on the first boot only, when the image is written back), then the cases when asked.
# Everything it reports goes to results/ on this disk.
set -u
share="$(cd "$(dirname "$0")" && pwd)"
results="$share/results"
mkdir -p "$results"
export HOME=/root
export PARVOLET_WINEPREFIX=/var/lib/parvolet/prefix
read -r mode <"$share/mode"
echo "start uptime $(cut -d' ' -f1 /proc/uptime)" >>"$results/times"

Xvfb :7 -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
tries=0
while [ ! -S /tmp/.X11-unix/X7 ] && [ "$tries" -lt 240 ]; do sleep 0.5; tries=$((tries + 1)); done
if [ ! -S /tmp/.X11-unix/X7 ]; then
  echo "Xvfb did not start" >"$results/error"
  kill "$xvfb" 2>/dev/null
  exit 1
fi
export DISPLAY=:7

status=0
if ! make-prefix; then
  echo "the Wine prefix could not be made" >"$results/error"
  status=1
else
  echo "prefix uptime $(cut -d' ' -f1 /proc/uptime)" >>"$results/times"
  case "$mode" in
    prepare)
      echo ok >"$results/prepared"
      ;;
    check)
      # A server that stays up for the whole run, its services started with stdio on /dev/null.
      WINEPREFIX="$PARVOLET_WINEPREFIX" wineserver -p120 </dev/null >/dev/null 2>&1
      "$share/wine-run" cmd.exe /c exit </dev/null >/dev/null 2>&1
      python3 -u "$share/cases.py" >"$results/cases.log" 2>&1 || status=1
      ;;
    *)
      echo "unknown mode $mode" >"$results/error"
      status=1
      ;;
  esac
fi
echo "end uptime $(cut -d' ' -f1 /proc/uptime)" >>"$results/times"
WINEPREFIX="$PARVOLET_WINEPREFIX" wineserver -k >/dev/null 2>&1
kill "$xvfb" 2>/dev/null
exit "$status"
