#!/usr/bin/env bash
# Installs what is missing, builds the native tree and both Windows trees, and runs every test:
# native unit tests under ASan/UBSan, Windows unit and end-to-end tests under Wine on a virtual
# display, and a bounded fuzzing run. Exits non-zero when anything fails.
#
# Which Windows tree runs where: the 64-bit tree (build/win64, wine64) runs on every host. The
# 32-bit tree (build/win, the exe we ship) is always built, and the 64-bit tree's tests check that
# exe's bytes; its own tests run where the host can start wine32's programs, which some hosts
# cannot (they run 64-bit code only). We ask wine32 itself: its server is a 32-bit program. Where
# it cannot, the same suite runs on an emulated PC instead, through the same CTest files and
# scripts (tools/check-win32.sh; the guest is made once and cached in the build folder).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PARVOLET_BUILD_DIR:-$root/build}"
fuzz_seconds="${PARVOLET_FUZZ_SECONDS:-60}"
started=$SECONDS

if [ "$(id -u)" -eq 0 ]; then
  bash "$root/.ci/install-packages" || { echo "run-tests: package installation failed" >&2; exit 1; }
elif ! command -v i686-w64-mingw32-g++-posix >/dev/null || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
     ! [ -x /usr/lib/wine/wine64 ]; then
  echo "run-tests: packages are missing; run as root once: sudo bash .ci/install-packages" >&2
  exit 1
fi

source "$root/tools/wine/session.sh"
start_display_if_needed || exit 1

# The presets of CMakePresets.json; -B and the tools folder follow PARVOLET_BUILD_DIR. Building
# runs no Windows program (test cases are listed when CTest runs), so both trees build anywhere.
cd "$root"
set -e
cmake --preset native -B "$build/native"
cmake --build "$build/native"
cmake --preset win -B "$build/win" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools"
cmake --preset win64 -B "$build/win64" -DPARVOLET_HOST_TOOLS_DIR="$build/native/tools" \
      -DPARVOLET_SHIPPED_EXE="$build/win/app/parvolet.exe"
set +e
trap 'stop_session "$build/win/wineprefix"; stop_session "$build/win64/wineprefix"' EXIT
cmake --build "$build/win" || { echo "run-tests: the 32-bit Windows build failed" >&2; exit 1; }
cmake --build "$build/win64" || { echo "run-tests: the 64-bit Windows build failed" >&2; exit 1; }

logs=()
summary=()
run_ctest() { # preset, build dir[, where it ran]
  local log="$build/$1-ctest.log"
  logs+=("$log")
  ctest --preset "$1" --test-dir "$2" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  summary+=("$1${3:+ ($3)}: $(grep -E 'tests passed' "$log" | tail -n 1)")
  return "$rc"
}

status=0
run_ctest native "$build/native" || status=1  # the preset sets ASAN_OPTIONS
"$build/win64/prepare-prefix" || { echo "run-tests: the 64-bit Wine prefix could not be made" >&2; exit 1; }
run_ctest win64 "$build/win64" || status=1
if probe=$(bash "$root/tools/wine/can-run-wine32.sh" 2>&1); then
  "$build/win/prepare-prefix" || { echo "run-tests: the 32-bit Wine prefix could not be made" >&2; exit 1; }
  run_ctest win "$build/win" "this host" || status=1
else
  # The same suite, through the same CTest files and scripts, on an emulated PC that runs 32-bit
  # code; its CTest output comes back here and its counts join the others.
  echo "run-tests: this host cannot run 32-bit programs ($probe): the 32-bit tree's tests run on an emulated PC"
  vm_log="$build/win32-vm-check.log"
  logs+=("$vm_log")
  PARVOLET_BUILD_DIR="$build" bash "$root/tools/check-win32.sh" 2>&1 | tee "$vm_log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  vm_line=$(sed -nE 's/^win32-vm: ([0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+) \(([0-9]+) s in the emulated PC.*/\1, in \2 s/p' "$vm_log" | tail -n 1)
  summary+=("win (emulated PC): ${vm_line:-FAILED, no counts from its CTest (log: $vm_log)}")
fi

# A release test script: its log, its summary line (`NAME: N passed, M failed`, the script's last
# line) and its counts, which join the others; a script that ends before its count counts as failed.
extra_passed=0; extra_failed=0
run_counted() { # name, script
  local log="$build/$1-test.log"
  PARVOLET_BUILD_DIR="$build" python3 "$root/$2" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line
  line=$(grep -E "^$1: [0-9]+ passed, [0-9]+ failed\$" "$log" | tail -n 1)
  summary+=("${line:-$1: FAILED before its count}")
  if [ -n "$line" ]; then
    extra_passed=$((extra_passed + $(sed -nE "s/^$1: ([0-9]+) passed.*/\1/p" <<<"$line")))
    extra_failed=$((extra_failed + $(sed -nE 's/.* ([0-9]+) failed$/\1/p' <<<"$line")))
  else
    extra_failed=$((extra_failed + 1))
  fi
}

# The release: both packages signed with a throwaway certificate, then make-release --check on them
# (tests/release/test_release.py).
run_counted release tests/release/test_release.py
# The MSIs of that release under Wine's msiexec (tests/release/test_msi.py).
run_counted msi tests/release/test_msi.py

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
for log in "${logs[@]}"; do
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  [ -n "$line" ] || { failed=$((failed + 1)); continue; }
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
done
passed=$((passed + extra_passed)); failed=$((failed + extra_failed))
echo "time: $((SECONDS - started)) s"
echo "tests: $passed passed, $failed failed"
exit $status
