#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR) with extra CMake arguments passed through.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVY_WERROR=ON "$@"
cmake --build "$build_dir" -j "$(nproc)"
