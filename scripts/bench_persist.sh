#!/usr/bin/env bash
# The persistence benchmark: set up the machine, build the release build,
# then build a kelpo database and an hnswlib index over the same synthetic
# vectors (M 16, ef_construction 200) and compare saving, opening (page cache
# warm and cold), memory right after opening, the first searches after
# opening, and compaction against a fresh build. See bench/bench_persist.cc.
#
#   scripts/bench_persist.sh            100,000 x 128, a few minutes on 2 cores
#   scripts/bench_persist.sh --full     1,000,000 x 128: four graph builds of
#                                       about a million vectors each (about
#                                       half an hour on 2 cores) and about
#                                       4 GiB of memory
#   scripts/bench_persist.sh ARGS...    the benchmark's own arguments
#
# KELPO_BUILD_DIR chooses the build directory (default build/release).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

scripts/setup.sh

build="${KELPO_BUILD_DIR:-build/release}"
echo "== release build in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_persist

args=(--n=100000)
if [ "${1:-}" = --full ]; then
  args=(--n=1000000)
  shift
fi
if [ "$#" -gt 0 ]; then args=("$@"); fi

cat <<'TEXT'

== persistence benchmark
Saves are timed with kelpo's fsyncs (as shipped) against hnswlib's saveIndex
followed by an fsync of its file and directory, and again with kelpo's syncs
turned off against saveIndex alone (which never syncs). Each open runs in a
fresh process; "cold" drops the files from the page cache first. Searches
ask for the 10 nearest with a beam of 200, on one thread.
TEXT
exec "$build/bench/bench_persist" "${args[@]}"
