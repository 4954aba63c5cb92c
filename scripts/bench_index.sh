#!/usr/bin/env bash
# The index benchmark on its own: set up the machine, build the release
# build, then build kelpo's HNSW index over Fashion-MNIST (60,000 images of
# 784 pixels) and report how fast it builds, how much memory it takes, and how
# accurately and quickly it answers nearest-neighbour queries, side by side
# with hnswlib on the same data. About two minutes on a 2-core machine.
#
# Arguments are passed to the benchmark program, replacing the quick
# defaults; with --full it runs everything (all 10,000 queries, 1- and
# 2-thread builds, a synthetic clustered set). See bench/bench_index.cc.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

scripts/setup.sh

echo "== release build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target bench_index

args=(--dataset=fashion --queries=1000 --threads="$(nproc)")
if [ "${1:-}" = --full ]; then
  args=()
  shift
fi
if [ "$#" -gt 0 ]; then args=("$@"); fi

cat <<'TEXT'

== index benchmark
Each test image is a query; the answer is its 10 nearest training images by
squared Euclidean distance. recall@10 is the share of the exact 10 nearest
(found by brute force first) that the index returns; ef is the search beam
width, trading speed for recall. Queries run on one thread.
TEXT
exec build/release/bench/bench_index "${args[@]}"
