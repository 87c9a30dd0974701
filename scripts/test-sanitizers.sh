#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer (leak checks on) and UndefinedBehaviorSanitizer
# and runs it. Any report fails the test that caught it.
# Usage: scripts/test-sanitizers.sh [ctest arguments, e.g. -R tst_appmover]
#   BUILD_DIR and JOBS override the build folder and the parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build_dir="${BUILD_DIR:-build-asan}"
jobs="${JOBS:-$(nproc)}"

scripts/install-deps.sh test
sanitize="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DONDARI_WERROR=ON \
    -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize" -DCMAKE_SHARED_LINKER_FLAGS="$sanitize"
cmake --build "$build_dir" -j"$jobs"

supp="$root/scripts/sanitizers"
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=0"
export LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
if ctest --test-dir "$build_dir" --output-on-failure -j"$jobs" --timeout 600 "$@"; then
    exit 0
fi
# LeakSanitizer's own tracer now and then dies while it stops a process's threads at exit ("Tracer
# caught signal 11", "LeakSanitizer has encountered a fatal error"): the check did not run, it
# found nothing. A test that failed for that alone runs once more; any sanitizer finding or other
# failure fails the run as it is.
log="$build_dir/Testing/Temporary/LastTest.log"
again=$(awk '
    /^[0-9]+\/[0-9]+ Test: / { name = $3; checkerDied = 0; finding = 0 }
    /LeakSanitizer has encountered a fatal error/ { checkerDied = 1 }
    /ERROR: (AddressSanitizer|LeakSanitizer: detected)|runtime error:/ { finding = 1 }
    /^Test Failed/ { if (checkerDied && !finding) print name; else other = 1 }
    END { if (other) print "!" }
' "$log")
if [ -z "$again" ] || grep -qx '!' <<<"$again"; then
    exit 1
fi
echo "LeakSanitizer failed to run in: $(tr '\n' ' ' <<<"$again")- once more:"
ctest --test-dir "$build_dir" --output-on-failure --timeout 600 -R "^($(paste -sd'|' <<<"$again"))\$"
