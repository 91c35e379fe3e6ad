#!/usr/bin/env bash
# Installs what is missing, builds from scratch and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
export LCM_DEFAULT_URL=memq://
rm -rf build
./scripts/build.sh
ctest --test-dir build --output-on-failure -j 2
