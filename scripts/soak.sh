#!/usr/bin/env bash
# Soak test: a long sequence of small frames replayed in every display type and
# in LCM mode, without a window and with stdin closed. Checks for each run: exit
# status 0, processed == read, nothing dropped, the recording holds every
# processed frame (ffprobe), one CSV row per frame in type 4, every frame
# published in LCM mode, and a peak resident set that levels off instead of
# growing with the run. Takes several minutes: not part of CI.
# Usage: scripts/soak.sh [frames]   (default 3000; BUILD_DIR picks the build, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
frames=${1:-3000}
build=${BUILD_DIR:-build}
export LCM_DEFAULT_URL=memq://
[[ -x $build/bin/MarlinProfileProc && -x $build/bin/raystool ]] ||
    cmake --build "$build" -j 2 --target MarlinProfileProc raystool
work=$(mktemp -d /tmp/vy_soak.XXXXXX)
trap 'rm -rf "$work"' EXIT

sequence=$work/soak.rays
"$build/bin/raystool" create --preset small --size 128 --frames "$frames" --samples 1 --no-truth "$sequence" \
    >/dev/null 2>"$work/raystool.txt" || { cat "$work/raystool.txt"; exit 1; }
echo "soak: $frames frames of 128x128 in $sequence"

failures=0
fail() {
    echo "soak: FAIL ($1): $2"
    failures=$((failures + 1))
}

# Number after a word in the summary line ("processed 2999").
count() { grep -o "$1 [0-9]*" <<<"$2" | head -n1 | cut -d' ' -f2; }

kb() { awk -v f="$1:" '$1 == f {print $2}' "/proc/$2/status" 2>/dev/null || true; }

for mode in 0 1 2 3 4 lcm; do
    out=$work/out-$mode
    args=(--no-window --output-dir "$out")
    type=$mode
    if [[ $mode == lcm ]]; then
        args+=(--lcm)
        type=1
    fi
    start=$SECONDS
    "$build/bin/MarlinProfileProc" "${args[@]}" "$sequence" "$type" </dev/null >"$work/console-$mode.txt" 2>&1 &
    pid=$!
    # The peak resident set, sampled once a second: the first fifth of the run
    # is the warm-up; after that it must not keep growing.
    samples=()
    while kill -0 "$pid" 2>/dev/null; do
        hwm=$(kb VmHWM "$pid")
        [[ -n $hwm ]] && samples+=("$hwm")
        sleep 1
    done
    status=0
    wait "$pid" || status=$?
    summary=$(grep '^summary:' "$work/console-$mode.txt" || true)
    echo "soak: mode $mode, $((SECONDS - start)) s: ${summary:-no summary line}"
    [[ $status == 0 ]] || fail "$mode" "exit status $status"
    [[ -n $summary ]] || { fail "$mode" "no summary line"; continue; }
    read=$(count read "$summary")
    processed=$(count processed "$summary")
    [[ $read == "$processed" && $read -gt 0 ]] || fail "$mode" "processed $processed of $read frames read"
    [[ $(count dropped "$summary") == 0 ]] || fail "$mode" "frames dropped"
    if [[ $mode == lcm ]]; then
        [[ $(count published "$summary") == "$processed" ]] || fail "$mode" "published differs from processed"
    else
        video=$(sed -n 's/.*; video: \([^;]*\);.*/\1/p' <<<"$summary")
        in_video=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames \
            -of csv=p=0 "$video" 2>/dev/null || echo 0)
        [[ $(count recorded "$summary") == "$processed" && $in_video == "$processed" ]] ||
            fail "$mode" "recorded $(count recorded "$summary"), video holds $in_video, processed $processed"
    fi
    if [[ $mode == 4 ]]; then
        csv=$(sed -n 's/.*; log: \([^;]*\);.*/\1/p' <<<"$summary")
        rows=$(grep -c '^[0-9]' "$csv" 2>/dev/null || echo 0)
        [[ $rows == "$processed" ]] || fail "$mode" "$rows CSV rows for $processed frames"
    fi
    n=${#samples[@]}
    if ((n >= 5)); then
        settled=${samples[$((n / 5))]}
        last=${samples[$((n - 1))]}
        echo "soak: mode $mode peak RSS $((settled / 1024)) MiB after warm-up, $((last / 1024)) MiB at the end"
        # Growth beyond 10 % + 16 MiB after the warm-up means memory is piling up.
        ((last <= settled + settled / 10 + 16384)) || fail "$mode" "peak RSS grew from $settled to $last kB"
    fi
done
if ((failures > 0)); then
    echo "soak: $failures failure(s)"
    exit 1
fi
echo "soak: all modes passed"
