#!/usr/bin/env bash
# The program's end-to-end rate in display type 1 (frames processed per second
# from its summary line) against the engine's own rate for the same pipeline and
# frame size (engine_bench), and their ratio; the target is at least 0.8.
# Usage: scripts/throughput.sh [side] [frames]   (default 1024 and 100; BUILD_DIR picks the build, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
side=${1:-1024}
frames=${2:-100}
build=${BUILD_DIR:-build}
export LCM_DEFAULT_URL=memq://
[[ -x $build/bin/MarlinProfileProc && -x $build/bin/raystool && -x $build/bin/engine_bench ]] ||
    cmake --build "$build" -j 2 --target MarlinProfileProc raystool engine_bench
work=$(mktemp -d /tmp/vy_throughput.XXXXXX)
trap 'rm -rf "$work"' EXIT

"$build/bin/raystool" create --preset small --size "$side" --frames "$frames" --samples 1 --no-truth \
    "$work/seq.rays" >/dev/null 2>"$work/raystool.txt" || { cat "$work/raystool.txt"; exit 1; }

# Frames per second from the summary line of a type-1 run with the given options.
program_fps() {
    local summary
    summary=$("$build/bin/MarlinProfileProc" --no-window --output-dir "$work/out" "$@" "$work/seq.rays" 1 \
        </dev/null 2>&1 | grep '^summary:')
    echo "program $*: $summary" >&2
    sed -n 's/.*(\([0-9.]*\) fps).*/\1/p' <<<"$summary"
}
program_fps=$(program_fps)
# The same run publishing instead of recording shows what the video encoding costs.
program_fps --lcm >/dev/null

engine=$("$build/bin/engine_bench" --benchmark_filter="BM_DisplayType/type:1/side:$side/" \
    --benchmark_format=csv 2>/dev/null | grep '^"BM_DisplayType')
echo "engine: $engine"
# Google Benchmark's CSV: name,iterations,real_time,cpu_time,time_unit,bytes_per_second,items_per_second,...
engine_fps=$(cut -d, -f7 <<<"$engine")

awk -v p="$program_fps" -v e="$engine_fps" -v s="$side" 'BEGIN {
    r = p / e
    ok = (r >= 0.8)
    printf "type 1, %dx%d: program %.2f fps, engine %.2f fps, ratio %.2f (target >= 0.8): %s\n", s, s, p, e, r,
           (ok ? "PASS" : "FAIL")
    exit (ok ? 0 : 1)
}'
