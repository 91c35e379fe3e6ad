#!/usr/bin/env bash
# raystool render's time against the engine's time for the same results: the
# synthetic camera's demo scene (default 2048 x 2048, 100 frames) rendered to
# depth (32-bit float TIFF) and total focus (16-bit TIFF), next to engine_bench's
# time for display type 1, whose steps compute exactly the depth map and the
# total focus (measured before and after the render and averaged, as the load of
# a shared machine drifts). The render's time is the whole command: reading the
# frames, the engine, turning, encoding and writing. Type 2's time is printed
# too, for a reader who counts "types 1 + 2". Target: render <= 1.2 x engine.
# The render's start (the engine's set-up and first frame, which engine_bench
# leaves out) is timed on its own (--count 1) and shown beside. The files go to
# a temporary folder under TMPDIR (TMPDIR=/dev/shm leaves the disk out).
# Usage: scripts/render-bench.sh [side] [frames]   (BUILD_DIR picks the build, default build)
# Exit status 0 when the target is met.
set -euo pipefail
cd "$(dirname "$0")/.."
side=${1:-2048}
frames=${2:-100}
build=${BUILD_DIR:-build}
[[ -x $build/bin/raystool && -x $build/bin/engine_bench ]] || cmake --build "$build" -j 2 --target raystool engine_bench

source scripts/bench-scene.sh
sequence=$(bench_scene "$build" "$side" "$frames")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Milliseconds a frame of one engine_bench row (Google Benchmark's CSV: name,iterations,real_time,...).
engine_ms() {
    local ms
    ms=$("$build/bin/engine_bench" --benchmark_filter="^demo/type:$1/side:$side/" --benchmark_format=csv 2>/dev/null |
        grep "^\"demo/type:$1/side:$side" | cut -d, -f3)
    [[ -n $ms ]] || { echo "render-bench.sh: engine_bench gave no time for type $1" >&2; return 1; }
    echo "$ms"
}

echo "load before: $(uptime)"
before1=$(engine_ms 1)
before2=$(engine_ms 2)
one_start=$(date +%s.%N)
"$build/bin/raystool" render "$sequence" "$work/one" --depth --total-focus --count 1 >/dev/null
one_end=$(date +%s.%N)
rm -rf "$work/one"
start=$(date +%s.%N)
"$build/bin/raystool" render "$sequence" "$work/out" --depth --total-focus --count "$frames" >"$work/render.txt"
end=$(date +%s.%N)
after1=$(engine_ms 1)
after2=$(engine_ms 2)
echo "load after: $(uptime)"
cat "$work/render.txt"
du -sh "$work/out" | awk '{ print "written: " $1 }'
awk -v s="$start" -v e="$end" -v os="$one_start" -v oe="$one_end" -v n="$frames" -v a1="$before1" -v b1="$after1" -v a2="$before2" -v b2="$after2" \
    -v side="$side" 'BEGIN {
    render = (e - s) * 1000 / n
    t1 = (a1 + b1) / 2
    t2 = (a2 + b2) / 2
    printf "engine type 1 (depth + total focus): %.1f ms a frame (%.1f before, %.1f after)\n", t1, a1, b1
    printf "engine type 2 (depth + colour code): %.1f ms a frame (%.1f before, %.1f after)\n", t2, a2, b2
    printf "render --depth --total-focus, demo %dx%d, %d frames: %.1f ms a frame (%.1f s in all)\n", side, side, n,
           render, e - s
    ok = render <= 1.2 * t1
    one = (oe - os) * 1000
    printf "render of 1 frame (start-up + 1 frame): %.0f ms; the other frames: %.1f ms a frame, %.2f x engine type 1\n",
           one, (render * n - one) / (n - 1), (render * n - one) / (n - 1) / t1
    printf "render / engine type 1: %.2f (target <= 1.2): %s;  render / (types 1 + 2): %.2f\n", render / t1,
           (ok ? "PASS" : "FAIL"), render / (t1 + t2)
    exit (ok ? 0 : 1)
}'
