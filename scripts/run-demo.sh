#!/usr/bin/env bash
# Installs what is missing, builds, and replays the demo sequence that the build
# generates. Arguments (optional): the display type (default 1) and further
# program options, e.g. ./scripts/run-demo.sh 4 --no-window
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh -DVY_TESTS=OFF
# LCM stays inside this process (no network traffic).
export LCM_DEFAULT_URL=${LCM_DEFAULT_URL:-memq://}
mkdir -p out
type=${1:-1}
shift || true
echo "Demo: r t d f = raw, total focus, depth (colour bar in mm), refocused; p pause, n next frame, [ ] refocus nearer/farther, s snapshot, q quit. Type 4 (particle count) only from the command line: ./scripts/run-demo.sh 4"
exec build/bin/MarlinProfileProc --output-dir out "$@" build/demo/demo.rays "$type"
