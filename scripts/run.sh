#!/usr/bin/env bash
# Sets up, builds and starts Ondari on the current display.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${BUILD_DIR:-build-release}"
if [ -z "${DISPLAY:-}" ]; then
    if [ -n "${WAYLAND_DISPLAY:-}" ]; then
        echo "Ondari runs through XWayland, but DISPLAY is not set: start Xwayland or log in to an X11 session." >&2
    else
        echo "Ondari needs a graphical session: DISPLAY is not set (no X11 display to show the tray icon on)." >&2
    fi
    exit 1
fi
scripts/install-deps.sh
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --build "$build_dir" -j"$(nproc)"
exec "$build_dir/app/ondari" "$@"
