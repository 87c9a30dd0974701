#!/usr/bin/env bash
# Builds Ondari in release mode and measures it on a private X server with a tray host and the
# fake link-conversion server: start-up, idle cost, copy-to-clipboard latency, the GUI thread's
# pauses under a storm of clipboard owner changes, the cost of keys typed elsewhere, memory over
# many conversions, and the link recognition. Prints a Markdown table (also kept in the build
# folder).
#
# Shorter trial runs: ONDARI_BENCH_STARTS, ONDARI_BENCH_IDLE_SECONDS, ONDARI_BENCH_COPIES,
# ONDARI_BENCH_CONVERSIONS, ONDARI_BENCH_STORM (defaults 5, 60, 50, 1000, 100000 owner
# changes). The whole run takes about 12 minutes.
# ONDARI_BENCH_TRACE=1 prints the debug log of every copy with the time of each line.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ONDARI_BENCH_BUILD_DIR:-$repo/build-bench-release}
testdata=${ONDARI_TESTDATA_DIR:-$repo/tests/data}

if [ "${1:-}" != "--measure" ]; then
    "$repo/scripts/install-deps.sh" bench
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DONDARI_BUILD_BENCH=ON -DBUILD_TESTING=OFF \
        -DONDARI_TESTDATA_DIR="$testdata" >/dev/null
    cmake --build "$build" -j"$(nproc)" --target ondari fake-songlink-server ondari-bench \
        ondari-recognition-bench ondari-owner-storm >/dev/null
    # In a network namespace of its own the run cannot reach anything but 127.0.0.1.
    if unshare -rn true 2>/dev/null && command -v ip >/dev/null; then
        exec unshare -rn --fork --kill-child "$0" --measure
    fi
    echo "note: no private network namespace here; the run relies on its settings to stay on 127.0.0.1" >&2
    exec "$0" --measure
fi

# From here on: the measurement, in the namespace when there is one.
ip link set lo up 2>/dev/null || true

tmp=$(mktemp -d "${TMPDIR:-/tmp}/ondari-bench.XXXXXX")
pids=()
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null || true
        wait "${pids[i]}" 2>/dev/null || true
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# X server and tray host.
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$tmp/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$tmp/display" ] && break
    sleep 0.05
done
[ -s "$tmp/display" ] || { echo "bench: the X server did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"
export QT_QPA_PLATFORM=xcb
trayer --edge bottom --align right --widthtype request --height 24 --SetDockType true >/dev/null 2>&1 &
pids+=($!)

# Fake link-conversion server: recorded answers, made-up ones for other Spotify links, and
# thumbnails of its own, so that the song preview stays on 127.0.0.1 too.
"$build/tools/fake-songlink-server/fake-songlink-server" --port 0 --data "$testdata/api-responses" \
    --synthesize-spotify --local-thumbnails >"$tmp/port" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$tmp/port" ] && break
    sleep 0.05
done
[ -s "$tmp/port" ] || { echo "bench: the fake server did not start" >&2; exit 1; }
port=$(head -n1 "$tmp/port")

# A private home with the settings and the key-observation consent already given, so that the
# program starts converting without its onboarding.
home="$tmp/home"
mkdir -p "$home/.config/Ondari" "$home/.cache" "$home/.local/share" "$tmp/run"
chmod 700 "$tmp/run"
cat >"$home/.config/Ondari/Ondari.conf" <<'EOF'
[General]
conversionMode=automatic
sourceService=spotify
targetService=appleMusic
isBidirectional=true
hasMigratedServiceSettings=true
isEnabled=true
toastTimeout=5
showURLPreview=true
hasSeenMenuBarTooltip=true
EOF
printf 'allowed\n' >"$home/.config/Ondari/key-observation-consent"

export HOME="$home"
export XDG_CONFIG_HOME="$home/.config" XDG_CACHE_HOME="$home/.cache" XDG_DATA_HOME="$home/.local/share"
export XDG_RUNTIME_DIR="$tmp/run"
# The one-copy lock is found by user id: this copy keeps it away from a running Ondari.
mkdir -p "$tmp/tmp"
export ONDARI_INSTANCE_ROOT="$tmp"
export ONDARI_API_BASE_URL="http://127.0.0.1:$port/v1-alpha.1/links"
export ONDARI_UPDATE_FEED_URL=""
# No session bus: nothing to autolaunch, and the tray icon goes the XEmbed way to trayer.
export DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/no-session-bus"
unset APPIMAGE http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY XDG_SESSION_TYPE WAYLAND_DISPLAY

table="$build/bench-last-run.md"
{
    echo "Ondari $(git -C "$repo" describe --always --dirty 2>/dev/null || echo '?'), $(date -u +%Y-%m-%d)," \
        "release build; $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')," \
        "$(nproc) CPUs, Linux $(uname -r), Xvfb + trayer"
    echo
    echo "| Measure | Result | Target |"
    echo "|---|---|---|"
} | tee "$table"

"$build/bench/ondari-bench" --program "$build/app/ondari" --testdata "$testdata" \
    --log "$home/ondari_debug.log" \
    --starts "${ONDARI_BENCH_STARTS:-5}" --idle-seconds "${ONDARI_BENCH_IDLE_SECONDS:-60}" \
    --copies "${ONDARI_BENCH_COPIES:-50}" --conversions "${ONDARI_BENCH_CONVERSIONS:-1000}" \
    --owner-storm "$build/bench/ondari-owner-storm" --storm-changes "${ONDARI_BENCH_STORM:-100000}" |
    tee -a "$table"

# Google Benchmark's CSV: name,iterations,real_time,cpu_time,time_unit,...
"$build/bench/ondari-recognition-bench" --benchmark_format=csv 2>/dev/null |
    awk -F, '
        /^"?(noLink|spotifyLinkAtEnd|soundCloudLinkAtEnd)/ {
            gsub(/"/, "", $1)
            what = $1 == "noLink" ? "no link" : ($1 == "spotifyLinkAtEnd" ? "Spotify link at the end" \
                                                 : "SoundCloud link (tried last) at the end")
            printf "| link recognition, 2000 characters, %s | %.2f µs per call | ≤ 20 µs |\n", what, $4
        }' | tee -a "$table"
