#!/usr/bin/env bash
# Sets up, builds and runs every test. Tests that need a display start a private Xvfb each.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build}"

scripts/install-deps.sh test
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DONDARI_WERROR=ON
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)" --timeout 300
