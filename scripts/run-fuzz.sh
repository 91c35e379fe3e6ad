#!/usr/bin/env bash
# Builds the libFuzzer targets with clang-14 into build-fuzz and runs each for
# the given seconds (default 30) on its seed corpus; fails on the first crash.
# Usage: scripts/run-fuzz.sh [seconds]
# Seeds: the text seeds under fuzz/<target>/, plus small sequences made with
# raystool at run time (binary files are not kept in the repository).
# Crash inputs land in build-fuzz/crashes/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-30}
jobs=${JOBS:-2}
build=build-fuzz
targets=(CSeqFileReader CParameterSet CommandLine ProfileLogReader)

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVY_FUZZ=ON -DVY_TESTS=OFF \
    -DVY_BENCH=OFF >/dev/null
start=$SECONDS
cmake --build "$build" -j "$jobs" --target raystool "${targets[@]/#/fuzz_}"
echo "run-fuzz: build took $((SECONDS - start)) s"

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# raystool is instrumented too; a leak in it is not what this script looks for.
ASAN_OPTIONS=detect_leaks=0 "$build/bin/raystool" create --preset small --size 64 --frames 2 --samples 1 \
    --no-truth --overwrite "$build/seed-white.rays" >/dev/null
ASAN_OPTIONS=detect_leaks=0 "$build/bin/raystool" create --preset small --size 64 --frames 3 --samples 1 \
    --no-truth --no-white --overwrite "$build/seed-plain.rays" >/dev/null

failed=0
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    crashes=$build/crashes/$target
    mkdir -p "$corpus" "$crashes"
    # The committed seeds are copied so the fuzzer's finds never touch the repository.
    cp "$root/fuzz/$target"/* "$corpus"/ 2>/dev/null || true
    max_len=4096
    if [[ $target == CSeqFileReader ]]; then
        cp "$build/seed-white.rays" "$build/seed-plain.rays" "$corpus"/
        max_len=32768
    fi
    echo "run-fuzz: $target for $seconds s"
    if ! "$build/bin/fuzz_$target" "$corpus" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=2048 \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$crashes/" >"$build/fuzz-$target.log" 2>&1; then
        echo "run-fuzz: $target FAILED; input and log: $crashes/, $build/fuzz-$target.log"
        tail -n 40 "$build/fuzz-$target.log"
        failed=1
    else
        grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-$target.log" | tr '\n' ' '
        echo
    fi
done
exit "$failed"
