#!/usr/bin/env bash
# Runs a command on a private X server of its own, so tests that use the clipboard, the
# keyboard focus or the tray never see each other. The server picks a free display itself.
# ONDARI_XVFB_SCREEN sets the screen (WIDTHxHEIGHTxDEPTH) for tests of a smaller one.
set -euo pipefail
dir=$(mktemp -d)
trap 'kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
Xvfb -displayfd 3 -screen 0 "${ONDARI_XVFB_SCREEN:-1920x1080x24}" -nolisten tcp 3>"$dir/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 600); do # up to 30 s: a busy machine starts it slowly
    [ -s "$dir/display" ] && break
    sleep 0.05
done
if [ ! -s "$dir/display" ]; then
    echo "with-xvfb: the X server did not start" >&2
    exit 1
fi
export DISPLAY=":$(head -n1 "$dir/display")"
export QT_QPA_PLATFORM=xcb
# Run from a Wayland session, the tests would otherwise reach that session's clipboard.
unset WAYLAND_DISPLAY WAYLAND_SOCKET
"$@"
