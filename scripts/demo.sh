#!/usr/bin/env bash
# The main job, for a newcomer: set up the machine, build the Python module
# in the release build, and run the Fashion-MNIST demo
# (scripts/demo_fashion_mnist.py), whose output explains itself.
#
# The C++ index benchmark against hnswlib is scripts/bench_index.sh.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

scripts/setup.sh

echo "== release build of the Python module"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target _kelpo

PYTHONPATH=build/release/python exec /usr/bin/python3 scripts/demo_fashion_mnist.py
