#!/usr/bin/env bash
# The Python side of the test run, called by scripts/test.sh.
#
# scripts/python_tests.sh release   (after the release build, which compiled
#                                    the module for Debian's python3)
#  1. pip-installs the package from this checkout (no network, no build
#     isolation) into build/python-site, reusing the release build, and runs
#     the pytest suite against exactly what was installed;
#  2. when a CPython 3.13 is present (pyenv's, or python3.13 on PATH), builds
#     the module for it and runs the suite there too; that interpreter has no
#     numpy, so the tests that need numpy skip themselves.
#
# scripts/python_tests.sh asan      (after the sanitizer build)
#     runs the suite against build/asan's module, with the sanitizer runtimes
#     preloaded into the (uninstrumented) interpreter.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

PYTHON=/usr/bin/python3
jobs="$(nproc)"
pytest_args=(-q -p no:cacheprovider tests/python)

if [ "${1:-release}" = asan ]; then
  echo "== python tests (sanitizers, $("$PYTHON" --version))"
  # The interpreter's own allocations are never freed at exit: no leak check.
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONPATH=build/asan/python "$PYTHON" -m pytest "${pytest_args[@]}"
  exit 0
fi

echo "== python package: pip install into build/python-site"
KELPO_BUILD_DIR=build/release "$PYTHON" -m pip install --quiet --no-build-isolation --no-deps --upgrade \
  --root-user-action=ignore --target build/python-site .
echo "== python tests ($("$PYTHON" --version))"
PYTHONPATH=build/python-site "$PYTHON" -m pytest "${pytest_args[@]}"

py313=""
for candidate in "${KELPO_PYTHON313:-}" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.13*/bin/python3 \
  "$(command -v python3.13 || true)"; do
  # (a pyenv shim can exist and still refuse to run, so try each one)
  if [ -n "$candidate" ] && [ -x "$candidate" ] &&
    "$candidate" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; then
    py313="$candidate"
    break
  fi
done
if [ -z "$py313" ]; then
  echo "== no CPython 3.13 found; skipping its run"
  exit 0
fi

echo "== python module for $("$py313" --version) ($py313)"
cmake -S . -B build/python-3.13 -DCMAKE_BUILD_TYPE=Release -DKELPO_WERROR=ON -DKELPO_BUILD_TESTS=OFF \
  -DKELPO_BUILD_BENCH=OFF -DKELPO_PYTHON="$py313" >/dev/null
cmake --build build/python-3.13 --target _kelpo -j "$jobs"

# pytest is pure Python: borrow Debian's copy (and only what it needs, so that
# the 3.11-only binary packages beside it, numpy among them, stay out of reach).
borrowed=build/python-3.13/pytest-path
rm -rf "$borrowed"
mkdir -p "$borrowed"
for p in _pytest pytest pluggy iniconfig packaging attr attrs py py.py; do
  ln -s "/usr/lib/python3/dist-packages/$p" "$borrowed/$p"
done
echo "== python tests ($("$py313" --version), without numpy)"
PYTHONPATH="build/python-3.13/python:$borrowed" "$py313" -m pytest -W ignore::DeprecationWarning "${pytest_args[@]}"
