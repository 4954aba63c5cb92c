#!/usr/bin/env bash
# Brings a fresh Debian 12 machine (as root) to a state where kelpo builds,
# tests and benchmarks. Idempotent: a second run only checks and returns.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"

SIMSIMD_VERSION="6.5.5"
THIRD_PARTY="$here/third_party"

APT_PACKAGES=(
  cmake g++ make pkg-config ninja-build
  libtbb-dev nlohmann-json3-dev zlib1g-dev libgtest-dev
  python3-dev python3-numpy python3-pytest python3-setuptools python3-pip
  # The property tests of the command line and the distributed layer skip
  # themselves without it.
  python3-hypothesis
  libhnswlib-dev python3-hnswlib python3-faiss
  # The peer's batched flat search is a BLAS matrix product: with Debian's
  # reference BLAS it runs ~80x slower than with OpenBLAS, which would make
  # every ratio against it meaningless. Benchmarks only; kelpo links no BLAS.
  libopenblas0-pthread
  dataset-fashion-mnist
  python3-dask python3-distributed
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
)

missing=()
for p in "${APT_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# npm normally comes with the machine's Node.js; only fall back to Debian's.
if ! command -v npm >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null
fi

# SimSIMD ships its C sources in the npm package; we compile c/lib.c ourselves
# with dynamic dispatch. The version is pinned and checked.
simsimd_dir="$THIRD_PARTY/simsimd"
if [ ! -f "$simsimd_dir/.version" ] || [ "$(cat "$simsimd_dir/.version")" != "$SIMSIMD_VERSION" ]; then
  echo "setup: fetching simsimd $SIMSIMD_VERSION"
  tmp="$(mktemp -d)"
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent "simsimd@$SIMSIMD_VERSION" >/dev/null)
  tarball="$(ls "$tmp"/simsimd-*.tgz)"
  mkdir -p "$tmp/unpacked"
  tar -xzf "$tarball" -C "$tmp/unpacked"
  got="$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["version"])' "$tmp/unpacked/package/package.json")"
  if [ "$got" != "$SIMSIMD_VERSION" ]; then
    echo "setup: expected simsimd $SIMSIMD_VERSION, got $got" >&2
    exit 1
  fi
  rm -rf "$simsimd_dir"
  mkdir -p "$THIRD_PARTY"
  mv "$tmp/unpacked/package" "$simsimd_dir"
  echo "$SIMSIMD_VERSION" > "$simsimd_dir/.version"
fi
