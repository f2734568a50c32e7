#!/usr/bin/env bash
# Runs one packaged exe end to end: the end-to-end suite's transfer case (the exact frame at the
# loopback receiver, the success texts with OK focused, OK gives exit status 1) under Wine of the
# exe's width. A 32-bit exe on a host that runs no 32-bit code goes to the emulated PC instead
# (tools/check-win32.sh --exe). Builds what the harness needs when it is missing: the receiver
# (native tree) and dlgdrive.exe (the Windows tree of that width). Every wait is bounded.
# Usage: smoke.sh EXE 32|64
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${PARVOLET_BUILD_DIR:-$root/build}"
[ $# -eq 2 ] && [ -f "$1" ] || { sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 64; }
exe="$(realpath "$1")" width="$2"
case "$width" in
  32) preset=win tree="$build/win" extra=() ;;
  64) preset=win64 tree="$build/win64" extra=(-DPARVOLET_SHIPPED_EXE="$build/win/app/parvolet.exe") ;;
  *) echo "smoke: the width is 32 or 64, not $width" >&2; exit 64 ;;
esac
if [ "$width" = 32 ] && ! probe=$(bash "$root/tools/wine/can-run-wine32.sh" 2>&1); then
  echo "smoke: this host cannot run 32-bit programs ($probe); $exe runs on the emulated PC"
  # The same one case as below: the whole end-to-end suite there would take the better part of an hour.
  PARVOLET_BUILD_DIR="$build" exec bash "$root/tools/check-win32.sh" --exe "$exe" -- -R '^e2e\.test_dialog\.Success$'
fi

# step LOG COMMAND...: runs a build step quietly, showing its log's end when it fails.
step() {
  local log="$1"; shift
  "$@" >"$log" 2>&1 || { tail -n 30 "$log" >&2; echo "smoke: failed: $*" >&2; exit 1; }
}
mkdir -p "$build"
receiver="$build/native/tools/receiver/receiver"
if [ ! -x "$receiver" ]; then
  [ -f "$build/native/build.ninja" ] || step "$build/smoke-native.log" cmake --preset native -B "$build/native"
  step "$build/smoke-native.log" cmake --build "$build/native" --target receiver
fi
[ -f "$tree/build.ninja" ] ||
  step "$build/smoke-$preset.log" cmake --preset "$preset" -B "$tree" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools" "${extra[@]}"
step "$build/smoke-$preset.log" cmake --build "$tree" --target dlgdrive
step "$build/smoke-$preset.log" "$tree/prepare-prefix"

source "$root/tools/wine/session.sh"
start_display_if_needed || exit 1
work="$(mktemp -d)"
trap 'stop_session "$tree/wineprefix"; rm -rf "$work"' EXIT
cd "$root/tests/e2e"
PARVOLET_EXE="$exe" PARVOLET_WINE_RUN="$tree/wine-run" PARVOLET_DLGDRIVE="$tree/tools/dlgdrive/dlgdrive.exe" \
PARVOLET_RECEIVER="$receiver" PARVOLET_E2E_OUTPUT_DIR="$work" PARVOLET_EXE_WIDTH="$width" PYTHONDONTWRITEBYTECODE=1 \
  timeout 600 python3 -m unittest test_dialog.Success.test_frame_texts_ok_and_exit_status
rc=$?
if [ "$rc" -eq 0 ]; then
  echo "smoke: $exe ($width-bit) sent its files end to end under Wine"
else
  echo "smoke: $exe ($width-bit) FAILED end to end under Wine (status $rc)" >&2
fi
exit "$rc"
