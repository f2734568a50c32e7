#!/usr/bin/env bash
# Installs what is missing, builds the native and the Windows tree, and runs every test:
# native unit tests under ASan/UBSan, Windows unit and end-to-end tests under Wine on a virtual
# display, and a bounded fuzzing run. Exits non-zero when anything fails.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PARVOLET_BUILD_DIR:-$root/build}"
fuzz_seconds="${PARVOLET_FUZZ_SECONDS:-60}"

if [ "$(id -u)" -eq 0 ]; then
  bash "$root/.ci/install-packages" || { echo "run-tests: package installation failed" >&2; exit 1; }
elif ! command -v i686-w64-mingw32-g++-posix >/dev/null || ! command -v wine >/dev/null; then
  echo "run-tests: packages are missing; run as root once: sudo bash .ci/install-packages" >&2
  exit 1
fi

# One display and one warm Wine server for the whole run, started before the build: test
# discovery runs every Windows test program once at build time.
source "$root/tools/wine/session.sh"
start_display_if_needed || exit 1

# The presets of CMakePresets.json; -B and the tools folder follow PARVOLET_BUILD_DIR.
cd "$root"
set -e
cmake --preset native -B "$build/native"
cmake --build "$build/native"
cmake --preset win -B "$build/win" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools"
set +e
trap 'stop_session "$build/win/wineprefix"' EXIT
"$build/win/prepare-prefix" || { echo "run-tests: the Wine prefix could not be made" >&2; exit 1; }
cmake --build "$build/win" || { echo "run-tests: the Windows build failed" >&2; exit 1; }

summary=()
run_ctest() { # preset and log name, build dir
  local log="$build/$1-ctest.log"
  ctest --preset "$1" --test-dir "$2" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  summary+=("$1: $(grep -E 'tests passed' "$log" | tail -n 1)")
  return "$rc"
}

status=0
run_ctest native "$build/native" || status=1  # the preset sets ASAN_OPTIONS
run_ctest win "$build/win" || status=1

if [ -x "$root/tests/fuzz/run-fuzzers.sh" ] && [ "$fuzz_seconds" -gt 0 ]; then
  if bash "$root/tests/fuzz/run-fuzzers.sh" "$fuzz_seconds"; then
    summary+=("fuzz: no findings in ${fuzz_seconds} s per target")
  else
    summary+=("fuzz: FAILED")
    status=1
  fi
fi

echo
echo "== summary =="
printf '%s\n' "${summary[@]}"
passed=0; failed=0
for log in "$build/native-ctest.log" "$build/win-ctest.log"; do
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  [ -n "$line" ] || { failed=$((failed + 1)); continue; }
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
done
echo "tests: $passed passed, $failed failed"
exit $status
