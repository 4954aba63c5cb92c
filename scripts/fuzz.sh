#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang-14, ASan+UBSan, in build/fuzz) and runs
# each on its seed corpus.
#
#   scripts/fuzz.sh [seconds]        each harness for that long (default 60)
#   FUZZ_JOBS=2 scripts/fuzz.sh 3600 two harnesses at a time
#
# New inputs that widen coverage go to build/fuzz/corpus/<harness> (the seeds
# in fuzz/corpus stay as they are); a crash stops its harness, leaves the
# input as build/fuzz/artifacts/<harness>/crash-*, and fails the script.
# Each harness's last status line (executions, coverage) is printed at the end.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
seconds="${1:-60}"
jobs="${FUZZ_JOBS:-1}"

CC=clang-14 CXX=clang++-14 cmake -S fuzz -B build/fuzz >/dev/null
cmake --build build/fuzz -j "$(nproc)" >/dev/null

run_one() {
  local name="$1"
  local corpus="build/fuzz/corpus/$name" artifacts="build/fuzz/artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build/fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$name" >"build/fuzz/$name.log" 2>&1; then
    echo "$name: ok, $(grep -m1 'stat::number_of_executed_units' "build/fuzz/$name.log" | awk '{print $2}') executions"
  else
    echo "$name: FAILED (log: build/fuzz/$name.log)"
    tail -n 30 "build/fuzz/$name.log"
    return 1
  fi
}

harnesses=()
for src in fuzz/fuzz_*.cc; do harnesses+=("$(basename "$src" .cc)"); done
status=0
running=0
for h in "${harnesses[@]}"; do
  run_one "$h" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit "$status"
