#!/usr/bin/env bash
# Builds Ondari in release mode and measures it on a private X server with a tray host and the
# fake link-conversion server: start-up, idle cost, copy-to-clipboard latency, the GUI thread's
# pauses under a storm of clipboard owner changes, the cost of keys typed elsewhere, memory over
# many conversions, the link recognition, and what showing real and hostile song titles costs.
# Prints a Markdown table (also kept in the build folder).
#
# Shorter trial runs: ONDARI_BENCH_STARTS, ONDARI_BENCH_IDLE_SECONDS, ONDARI_BENCH_COPIES,
# ONDARI_BENCH_CONVERSIONS, ONDARI_BENCH_STORM (defaults 5, 60, 50, 1000, 100000 owner
# changes). The whole run takes about 14 minutes.
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
# Runs the command every 50 ms until it succeeds, at most `tries` times.
waitUntil() {
    local tries=$1
    shift
    for _ in $(seq "$tries"); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}
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
waitUntil 100 test -s "$tmp/display" || { echo "bench: the X server did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$tmp/display")"
export QT_QPA_PLATFORM=xcb
trayer --edge bottom --align right --widthtype request --height 24 --SetDockType true >/dev/null 2>&1 &
pids+=($!)

# Fake link-conversion server: recorded answers, made-up ones for other Spotify links, and
# thumbnails of its own, so that the song preview stays on 127.0.0.1 too.
"$build/tools/fake-songlink-server/fake-songlink-server" --port 0 --data "$testdata/api-responses" \
    --synthesize-spotify --local-thumbnails >"$tmp/port" 2>/dev/null &
pids+=($!)
waitUntil 100 test -s "$tmp/port" || { echo "bench: the fake server did not start" >&2; exit 1; }
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

# What showing a song's title costs the GUI thread: a fresh program per title (its fonts not yet
# loaded), the link copied, the CPU time of its GUI thread until the song has been on screen for
# two seconds (the song's answer comes from 127.0.0.1 at once), median of three starts. The titles: a real one, a Japanese one, one in eight scripts,
# and the hostile kinds, each as title and artist.
mkdir -p "$tmp/titles"
python3 - "$testdata/api-responses/spotify-bum-bum-eis-de.json" "$tmp/titles" <<'PY'
import json, sys, unicodedata
base = json.load(open(sys.argv[1]))
letters, seen = [], set()
for c in range(0x370, 0x20000):
    name = unicodedata.name(chr(c), '')
    if unicodedata.category(chr(c)) in ('Lu', 'Ll', 'Lo') and name.split(' ')[0] not in seen:
        seen.add(name.split(' ')[0])
        letters.append(chr(c))
assigned = [c for c in range(0x250, 0x110000) if unicodedata.category(chr(c)) not in ('Cn', 'Cs', 'Cc', 'Co')]
flag = '\U0001F3F4' + ''.join(chr(0xE0000 + ord(x)) for x in 'gbsct') + '\U000E007F'
kinds = [
    ('a real title', 'Bum Bum Eis'),
    ('a Japanese title', "残酷な天使のテーゼ (Director's Edit Version)"),
    ('a title in eight scripts', 'Love Любовь Αγάπη حب אהבה प्रेम ความรัก 사랑 愛'),
    ('500 code points across Unicode, most in no font', ''.join(chr(assigned[i * (len(assigned) // 500)]) for i in range(500))),
    ('a letter of every script', ''.join(letters[:500])),
    ('Thaana, then a letter of every script', '\u0780\u0781\u0782 ' + ''.join(letters[:500])),
    ('400 joined emoji', '\u200d'.join(['\U0001F468', '\U0001F469', '\U0001F467', '\U0001F466'] * 100)),
    ('tag sequences', flag * 60 + '\U0001F3F4' + ''.join(chr(0xE0020 + i) for i in range(95)) * 3),
    ('200 direction changes', ''.join('\u202e\u202d\u2067\u2066\u2069\u202b\u202a\u202c'[i % 8] + 'ab\u05d0\u05d1 ' for i in range(200))),
]
with open(sys.argv[2] + '/mapping.tsv', 'w') as mapping, open(sys.argv[2] + '/kinds.tsv', 'w') as names:
    for i, (name, text) in enumerate(kinds):
        answer = json.loads(json.dumps(base))
        for entity in answer['entitiesByUniqueId'].values():
            entity['title'], entity['artistName'] = text, text
            entity.pop('thumbnailUrl', None)
        json.dump(answer, open('%s/%d.json' % (sys.argv[2], i), 'w'), ensure_ascii=False)
        link = 'https://open.spotify.com/track/0OndariBenchTitle%05d' % i
        mapping.write('%s\t%d.json\t200\n' % (link, i))
        names.write('%s\t%s\n' % (link, name))
PY
"$build/tools/fake-songlink-server/fake-songlink-server" --port 0 --data "$tmp/titles" \
    --mapping "$tmp/titles/mapping.tsv" >"$tmp/titles-port" 2>/dev/null &
pids+=($!)
waitUntil 100 test -s "$tmp/titles-port" || { echo "bench: the titles' fake server did not start" >&2; exit 1; }
cat >"$home/.config/Ondari/Ondari.conf" <<'EOF2'
[General]
conversionMode=default
sourceService=spotify
targetService=appleMusic
hasMigratedServiceSettings=true
isEnabled=true
toastTimeout=30
showURLPreview=true
hasSeenMenuBarTooltip=true
EOF2
guiCpuMs() { awk '{ print ($14 + $15) * 10 }' "/proc/$1/task/$1/stat"; }
while IFS=$'\t' read -r link name; do
    spent=()
    for _ in 1 2 3; do
        : >"$home/ondari_debug.log"
        ONDARI_API_BASE_URL="http://127.0.0.1:$(head -n1 "$tmp/titles-port")/v1-alpha.1/links" \
            "$build/app/ondari" >/dev/null 2>&1 &
        program=$!
        waitUntil 200 grep -q 'Timer added to main run loop' "$home/ondari_debug.log" || true
        sleep 1
        before=$(guiCpuMs "$program")
        printf '%s' "$link" | xclip -selection clipboard -quiet >/dev/null 2>&1 &
        copier=$!
        waitUntil 200 grep -q 'Toast: Panel shown' "$home/ondari_debug.log" || true
        sleep 2
        spent+=($(($(guiCpuMs "$program") - before)))
        kill "$copier" "$program" 2>/dev/null
        wait "$program" 2>/dev/null || true
    done
    median=$(printf '%s\n' "${spent[@]}" | sort -n | sed -n 2p)
    echo "| GUI thread's CPU to show $name | median $median ms (${spent[*]}) | about the title in eight scripts |" | tee -a "$table"
done <"$tmp/titles/kinds.tsv"
