#!/usr/bin/env bash
# The benchmark command: builds what it needs (native Release tree, Windows tree), runs every
# measurement on one virtual display and one Wine server, and writes bench/results/.
# Extra arguments go to bench.py (e.g. --sizes 1M,64M --runs 3 --keep-files).
# It measures the 32-bit exe (results in bench/results/) where this host can run 32-bit programs,
# and otherwise the 64-bit one (results in bench/results/win64/); PARVOLET_BENCH_WIDTH=32 or 64
# picks one.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PARVOLET_BUILD_DIR:-$root/build}"
native="$build/bench-native"
width="${PARVOLET_BENCH_WIDTH:-}"
if [ -z "$width" ]; then
  if bash "$root/tools/wine/can-run-wine32.sh" >/dev/null 2>&1; then width=32; else width=64; fi
fi
case "$width" in
  32) win="$build/bench-win" toolchain=mingw-i686 compiler=i686-w64-mingw32-g++-posix results=() ;;
  64) win="$build/bench-win64" toolchain=mingw-x86_64 compiler=x86_64-w64-mingw32-g++-posix
      results=(--results "$root/bench/results/win64") ;;
  *) echo "bench: PARVOLET_BENCH_WIDTH is 32 or 64, not $width" >&2; exit 64 ;;
esac
python=/usr/bin/python3 # Debian's interpreter: it has matplotlib

if [ "$(id -u)" -eq 0 ]; then
  bash "$root/.ci/install-packages"
fi
for tool in cmake ninja "$compiler" wine Xvfb nc; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing; run as root: bash .ci/install-packages" >&2; exit 1; }
done
"$python" -c 'import matplotlib' || { echo "bench: $python has no matplotlib" >&2; exit 1; }

jobs="${PARVOLET_BENCH_JOBS:-2}"
cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPARVOLET_SANITIZE=OFF >/dev/null
cmake --build "$native" -j"$jobs" --target receiver bench_loader
cmake -S "$root" -B "$win" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" -DPARVOLET_HOST_TOOLS_DIR="$native/tools" \
      -DPARVOLET_SHIPPED_EXE="$build/win/app/parvolet.exe" >/dev/null
cmake --build "$win" -j"$jobs" --target parvolet bench_noop dlgdrive

df -h "$root" | tail -n 1 | awk '{ print "bench: free disk " $4 }'

source "$root/tools/wine/session.sh"
start_display_if_needed
trap 'stop_session "$win/wineprefix"' EXIT
echo "bench: measuring the $width-bit parvolet.exe ($win)"
"$python" "$root/bench/bench.py" --native-build "$native" --win-build "$win" --display "$DISPLAY" "${results[@]}" "$@"
