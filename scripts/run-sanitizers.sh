#!/usr/bin/env bash
# Builds and tests under the sanitizers: AddressSanitizer + UBSan on the whole
# suite (build-asan), ThreadSanitizer on the tests that run threads (build-tsan).
# Usage: scripts/run-sanitizers.sh [asan|tsan]   (both when no argument)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${JOBS:-2}
which=${1:-all}
export LCM_DEFAULT_URL=memq://

# Every finding ends the test at once; leaks count as findings.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=$root/scripts/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/sanitizer/tsan.supp"

configure() {  # dir, extra cmake arguments
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DVY_BENCH=OFF "$@" >/dev/null
}

# A failing test run is remembered, so the other sanitizer still runs.
failed=0
timed() {  # label, command...
    local label=$1 start=$SECONDS status=0
    shift
    "$@" || status=$?
    echo "run-sanitizers: $label took $((SECONDS - start)) s (status $status)"
    ((status == 0)) || failed=1
}

if [[ $which == all || $which == asan ]]; then
    configure build-asan -DVY_ASAN=ON
    timed "asan build" cmake --build build-asan -j "$jobs"
    timed "asan tests" ctest --test-dir build-asan --output-on-failure -j "$jobs"
fi

if [[ $which == all || $which == tsan ]]; then
    configure build-tsan -DVY_TSAN=ON
    # Only what runs threads: the worker base, the console, the frame queue,
    # the processor and the program with its reader thread (and the fake camera of its live tests).
    targets=(MarlinProfileProc rayscamera runtime_CImageQueue_test)
    for folder in thread console processor app; do
        for source in "$folder"/*_test.cpp; do
            [[ -e $source ]] && targets+=("${folder}_$(basename "$source" .cpp)")
        done
    done
    timed "tsan build" cmake --build build-tsan -j "$jobs" --target "${targets[@]}"
    # app/ProfileAccuracy and app/ProgramResults render their particle scenes with raystool,
    # which is not built here (under TSan it outlasts ProfileAccuracy's time limit); the same
    # threads run in app/MarlinProfileProc's profile-mode, pause and step tests and in
    # processor/VyProcessor's count of the frames in work.
    timed "tsan tests" ctest --test-dir build-tsan --output-on-failure -j "$jobs" \
        -R '^(thread/|console/|runtime/CImageQueue$|processor/|app/)' -E '^app/(ProfileAccuracy|ProgramResults)$'
fi
exit "$failed"
