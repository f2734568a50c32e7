#!/usr/bin/env bash
# Builds the libFuzzer targets (native clang, ASan and UBSan) in build/fuzz and runs each one for
# SECONDS seconds from its committed seed corpus, as many at once as there are cores. Exits non-zero
# on any finding or build failure.
# Usage: tests/fuzz/run-fuzzers.sh [SECONDS]   (default 60; e.g. 3600 for a long run)
set -uo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
build="${PARVOLET_FUZZ_BUILD_DIR:-${PARVOLET_BUILD_DIR:-$root/build}/fuzz}"
targets=(profile_reader_fuzz path_fuzz text_fuzz loader_fuzz)
# Inputs up to this size; the reader's are larger so that lines far beyond 1 KiB get tried.
declare -A max_len=([profile_reader_fuzz]=65536 [path_fuzz]=4096 [text_fuzz]=1024 [loader_fuzz]=16384)

mkdir -p "$build"
cmake -S "$root" -B "$build" -G Ninja -DPARVOLET_FUZZ=ON -DCMAKE_C_COMPILER=clang \
      -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build/configure.log" 2>&1 \
  || { cat "$build/configure.log" >&2; echo "run-fuzzers: configuring failed" >&2; exit 1; }
cmake --build "$build" -j2 --target "${targets[@]}" || { echo "run-fuzzers: build failed" >&2; exit 1; }

# One target, in the background: its exit status goes to $build/NAME.status.
fuzz_one() {
  local name="$1"
  "$build/tests/fuzz/$name" -max_total_time="$seconds" -max_len="${max_len[$name]}" -timeout=20 \
      -print_final_stats=1 -artifact_prefix="$build/findings/$name/" "$build/corpus/$name" \
      "$root/tests/fuzz/corpus/$name" >"$build/$name.log" 2>&1
  echo $? >"$build/$name.status"
}

# Each target is one process on one core: as many run at once as the machine has cores. The corpus
# in the build folder grows across runs; the committed seeds stay as they are.
jobs="$(nproc 2>/dev/null || echo 1)"
for name in "${targets[@]}"; do
  mkdir -p "$build/corpus/$name" "$build/findings/$name"
  rm -f "$build/findings/$name"/* "$build/$name.status"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n; done
  fuzz_one "$name" &
done
wait

status=0
for name in "${targets[@]}"; do
  findings="$build/findings/$name"
  log="$build/$name.log"
  rc=$(cat "$build/$name.status" 2>/dev/null || echo "none")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  if [ "$rc" != 0 ] || [ -n "$(ls -A "$findings")" ]; then
    echo "run-fuzzers: $name FOUND A FAULT (exit $rc); inputs in $findings, log $log" >&2
    grep -E 'ERROR|check failed|runtime error' "$log" | head -n 5 >&2
    status=1
  else
    echo "run-fuzzers: $name: ${runs:-?} executions in ${seconds} s, no findings"
  fi
done
exit $status
