#!/usr/bin/env bash
# Sets up, builds and starts Ondari.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-release}"
scripts/install-deps.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$build_dir" -j"$(nproc)"
exec "$build_dir/app/ondari" "$@"
