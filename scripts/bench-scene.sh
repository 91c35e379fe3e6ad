# Sourced by the bench scripts: bench_scene BUILD SIDE FRAMES prints the path of the
# synthetic camera's demo scene of that size and length, rendered once and kept
# beside engine_bench's scenes (BUILD/bench-scenes), so every bench replays the same frames.
bench_scene() {
    local build=$1 side=$2 frames=$3
    local sequence=$build/bench-scenes/demo-$side-x$frames.rays
    if [[ ! -f $sequence ]]; then
        mkdir -p "$build/bench-scenes"
        echo "rendering $sequence (once)" >&2
        "$build/bin/raystool" create --preset demo --size "$side" --frames "$frames" --no-truth --quiet --overwrite \
            "$sequence.partial"
        mv "$sequence.partial" "$sequence"
    fi
    echo "$sequence"
}
