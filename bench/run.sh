#!/usr/bin/env bash
# The benchmark command: builds what it needs (native Release tree, Windows tree), runs every
# measurement on one virtual display and one Wine server, and writes bench/results/.
# Extra arguments go to bench.py (e.g. --sizes 1M,64M --runs 3 --keep-files).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PARVOLET_BUILD_DIR:-$root/build}"
native="$build/bench-native"
win="$build/bench-win"
python=/usr/bin/python3 # Debian's interpreter: it has matplotlib

if [ "$(id -u)" -eq 0 ]; then
  bash "$root/.ci/install-packages"
fi
for tool in cmake ninja i686-w64-mingw32-g++-posix wine Xvfb nc; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing; run as root: bash .ci/install-packages" >&2; exit 1; }
done
"$python" -c 'import matplotlib' || { echo "bench: $python has no matplotlib" >&2; exit 1; }

jobs="${PARVOLET_BENCH_JOBS:-2}"
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVOLET_SANITIZE=OFF >/dev/null
cmake --build "$native" -j"$jobs" --target receiver bench_loader
cmake -S "$root" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DPARVOLET_HOST_TOOLS_DIR="$native/tools" >/dev/null
cmake --build "$win" -j"$jobs" --target parvolet bench_noop dlgdrive

df -h "$root" | tail -n 1 | awk '{ print "bench: free disk " $4 }'

source "$root/tools/wine/session.sh"
start_display_if_needed
trap 'stop_session "$win/wineprefix"' EXIT
"$python" "$root/bench/bench.py" --native-build "$native" --win-build "$win" --display "$DISPLAY" "$@"
