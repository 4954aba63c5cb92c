#!/usr/bin/env bash
# Everything a newcomer or CI needs: set-up, the release build with warnings as
# errors and its engine tests, the Python package's tests (pip-installed, on
# Debian's python3 and on CPython 3.13 when present), a short kill -9 crash
# loop, the sanitizer build (ASan+UBSan) with the engine and Python tests, the
# thread-sanitizer concurrency tests, and a brief run of every fuzz harness.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

scripts/setup.sh

jobs="$(nproc)"

echo "== release build"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKELPO_WERROR=ON >/dev/null
cmake --build build/release -j "$jobs"
echo "== engine tests (release)"
ctest --test-dir build/release --output-on-failure -j "$jobs"
scripts/python_tests.sh release

echo "== crash loop (kill -9 during random work)"
PYTHONPATH=build/python-site /usr/bin/python3 scripts/crashloop.py --trials 20

echo "== sanitizer build (address, undefined)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPO_WERROR=ON -DKELPO_SANITIZE=ON \
  -DKELPO_BUILD_BENCH=OFF >/dev/null
cmake --build build/asan -j "$jobs"
echo "== engine tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$jobs"
scripts/python_tests.sh asan

echo "== thread sanitizer build (concurrency tests)"
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPO_WERROR=ON -DKELPO_TSAN=ON \
  -DKELPO_BUILD_BENCH=OFF -DKELPO_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target kelpo_engine_tests
echo "== concurrency tests (thread sanitizer)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$here/tests/engine/tsan.supp" \
  build/tsan/tests/engine/kelpo_engine_tests --gtest_filter='*Concurren*:HnswBuild.*'

echo "== fuzz harnesses (clang, address, undefined), a short run of each on its corpus"
scripts/fuzz.sh 20

echo "== all tests passed"
