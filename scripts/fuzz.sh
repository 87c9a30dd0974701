#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each in turn, starting from the recorded test
# data and the inputs kept under fuzz/corpus/ (earlier findings and hand-written seeds, replayed
# on every run).
# Usage: scripts/fuzz.sh [seconds per target, default 60]
#   FUZZ_RUNS=N stops each target after N executions instead; BUILD_DIR overrides build-fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
build_dir="${BUILD_DIR:-build-fuzz}"
testdata="${ONDARI_TESTDATA_DIR:-tests/data}"

scripts/install-deps.sh test
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
    -DONDARI_FUZZ=ON -DONDARI_WERROR=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target fuzz_musicurlparser fuzz_songlinkresponse fuzz_appcast fuzz_artwork

# Seeds from the test data: every copied text of the link table, every recorded answer.
seeds="$build_dir/fuzz-seeds"
rm -rf "$seeds"
mkdir -p "$seeds/fuzz_musicurlparser" "$seeds/fuzz_songlinkresponse" "$seeds/fuzz_appcast" "$seeds/fuzz_artwork"
tail -n +2 "$testdata/track-links.tsv" | cut -f1 | awk -v dir="$seeds/fuzz_musicurlparser" \
    '{ printf "%s", $0 > (dir "/row-" NR); close(dir "/row-" NR) }'
cp "$testdata/track-links.tsv" "$seeds/fuzz_musicurlparser/whole-table"
cp "$testdata"/api-responses/*.json "$seeds/fuzz_songlinkresponse/"

limit=(-max_total_time="$seconds")
[ -n "${FUZZ_RUNS:-}" ] && limit=(-runs="$FUZZ_RUNS")

run() {
    local target=$1 max_len=$2
    local corpus="$build_dir/fuzz-corpus/$target" artifacts="$build_dir/fuzz-artifacts"
    mkdir -p "$corpus" "$artifacts"
    echo "== $target"
    # New inputs go to the first folder only; the seeds and the kept inputs are read.
    "$build_dir/fuzz/$target" "${limit[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -dict="fuzz/$target.dict" -print_final_stats=1 -artifact_prefix="$artifacts/$target-" \
        "$corpus" "$seeds/$target" "fuzz/corpus/$target"
}

# Copied text up to a few KB; answers and feeds up to 64 KB (the recorded answers are under 10 KB).
run fuzz_musicurlparser 8192
run fuzz_songlinkresponse 65536
run fuzz_appcast 65536
# Covers: small ones carry every structure the checks walk.
run fuzz_artwork 16384
