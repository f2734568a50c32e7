#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts the test receiver on loopback, writes
# Parvolet.ini beside parvolet.exe (build/demo/) and sends a sample file under Wine.
# With a display you press OK yourself; without one a virtual display is used, the dialog is
# photographed (build/demo/dialog-success.png), OK is pressed and the receiver's record printed.
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
cmake --preset win -B "$build/win" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools" >/dev/null
set +e
trap 'stop_session "$build/win/wineprefix"' EXIT
"$build/win/prepare-prefix" || exit 1
cmake --build "$build/win" --target parvolet dlgdrive || exit 1
python3 "$root/tools/demo/run_demo.py" --exe "$build/win/app/parvolet.exe" --wine-run "$build/win/wine-run" \
  --dlgdrive "$build/win/tools/dlgdrive/dlgdrive.exe" --receiver "$build/native/tools/receiver/receiver" \
  --folder "$build/demo" "${mode[@]}" "$@"
