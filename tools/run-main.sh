#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts the test receiver on loopback, writes
# Parvolet.ini beside parvolet.exe (build/demo/) and sends a sample file under Wine.
# With a display you press OK yourself; without one a virtual display is used, the dialog is
# photographed (build/demo/dialog-success.png), OK is pressed and the receiver's record printed.
# It runs the 32-bit exe we ship (build/win) where this host can run 32-bit programs, and otherwise
# the same sources built for 64-bit Windows (build/win64) under wine64; it says which.
# Options: --screenshots DIR  also photograph the failure state, into DIR.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PARVOLET_BUILD_DIR:-$root/build}"

if [ "$(id -u)" -eq 0 ]; then
  bash "$root/.ci/install-packages" || { echo "run-main: package installation failed" >&2; exit 1; }
fi
mode=(--interactive)
[ -z "${DISPLAY:-}" ] && mode=()
source "$root/tools/wine/session.sh"
start_display_if_needed || exit 1

# The presets of CMakePresets.json; -B and the tools folder follow PARVOLET_BUILD_DIR.
cd "$root"
set -e
cmake --preset native -B "$build/native" >/dev/null
cmake --build "$build/native" --target receiver
if bash "$root/tools/wine/can-run-wine32.sh" >/dev/null 2>&1; then
  tree="$build/win" width="32-bit exe (i686, the one we ship), under wine32"
  cmake --preset win -B "$tree" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools" >/dev/null
else
  tree="$build/win64" width="64-bit exe (x86-64; this host cannot run 32-bit programs), under wine64"
  cmake --preset win64 -B "$tree" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools" \
        -DPARVOLET_SHIPPED_EXE="$build/win/app/parvolet.exe" >/dev/null
fi
set +e
trap 'stop_session "$tree/wineprefix"' EXIT
"$tree/prepare-prefix" || exit 1
cmake --build "$tree" --target parvolet dlgdrive || exit 1
echo "run-main: running the $width: $tree/app/parvolet.exe"
python3 "$root/tools/demo/run_demo.py" --exe "$tree/app/parvolet.exe" --wine-run "$tree/wine-run" \
  --dlgdrive "$tree/tools/dlgdrive/dlgdrive.exe" --receiver "$build/native/tools/receiver/receiver" \
  --folder "$build/demo" "${mode[@]}" "$@"
