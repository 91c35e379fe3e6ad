#!/usr/bin/env bash
# The program's end-to-end rate in display type 1 (frames processed per second
# from its summary line) against the engine's own rate for the same pipeline,
# frame and calibration (engine_bench), and their ratio; the target is at least 0.8.
# Types 0 and 4 are measured the same way, with the program's per-frame breakdown.
# The program replays the engine benchmark's frame repeated (ReplayMemory_bench),
# so both sides compute the same thing. The engine is measured before and after
# the program and averaged, as the load of a shared machine drifts.
# Usage: scripts/throughput.sh [side] [frames]   (default 1024 and 1000; BUILD_DIR picks the build, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
side=${1:-1024}
frames=${2:-1000}
build=${BUILD_DIR:-build}
export LCM_DEFAULT_URL=memq://
[[ -x $build/bin/MarlinProfileProc && -x $build/bin/ReplayMemory_bench && -x $build/bin/engine_bench ]] ||
    cmake --build "$build" -j 2 --target MarlinProfileProc ReplayMemory_bench engine_bench

engine_fps() {
    # Google Benchmark's CSV: name,iterations,real_time,cpu_time,time_unit,bytes_per_second,items_per_second,...
    "$build/bin/engine_bench" --benchmark_filter="BM_DisplayType/type:$1/side:$side/" --benchmark_format=csv \
        2>/dev/null | grep '^"BM_DisplayType' | cut -d, -f7
}

# One display type: the engine before and after the program (the load of a shared
# machine drifts), the program's rate, the ratio and the program's own breakdown.
measure() {
    local type=$1 before after replay summary stages program_fps
    before=$(engine_fps "$type")
    replay=$("$build/bin/ReplayMemory_bench" --side "$side" --frames "$frames" --type "$type")
    after=$(engine_fps "$type")
    summary=$(grep '^summary:' <<<"$replay")
    stages=$(grep '^per frame' <<<"$replay")
    program_fps=$(sed -n 's/.*(\([0-9.]*\) fps).*/\1/p' <<<"$summary")
    echo "type $type program: $summary"
    echo "type $type program $stages"
    awk -v p="$program_fps" -v a="$before" -v b="$after" -v s="$side" -v t="$type" 'BEGIN {
        e = (a + b) / 2
        printf "type %d, %dx%d: program %.2f fps, engine %.2f fps (%.2f ms), ratio %.2f\n", t, s, s, p, e, 1000 / e, p / e
    }'
    ratio=$(awk -v p="$program_fps" -v a="$before" -v b="$after" 'BEGIN { printf "%.3f", p / ((a + b) / 2) }')
}

measure 0
measure 4
measure 1
# The same replay publishing instead of recording shows what the video encoding costs.
published=$("$build/bin/ReplayMemory_bench" --side "$side" --frames "$frames" --type 1 --lcm | grep '^summary:')
echo "type 1 with --lcm: $published"
awk -v r="$ratio" 'BEGIN {
    ok = (r >= 0.8)
    printf "type 1 ratio %.2f (target >= 0.8): %s\n", r, (ok ? "PASS" : "FAIL")
    exit (ok ? 0 : 1)
}'
