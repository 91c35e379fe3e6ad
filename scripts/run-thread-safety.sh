#!/usr/bin/env bash
# Clang's thread-safety analysis over the code that holds mutexes: a separate
# build (build-thread-safety) configured with clang++-14, in which every source
# of thread/, processor/, app/, the image queue, the console relay and render's writer thread is compiled with
# -Wthread-safety -Werror. Only these files are compiled (checked, not linked),
# which keeps the run to a minute or two on two cores. The run object and the
# image classes have no virtual destructor by design; clang's note on deleting
# them is left out.
# Usage: scripts/run-thread-safety.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-thread-safety}
jobs=${JOBS:-2}
compiler=${CLANGXX:-clang++-14}
start=$SECONDS

if ! command -v "$compiler" >/dev/null; then
    echo "run-thread-safety: $compiler not found (scripts/install-deps.sh installs it)" >&2
    exit 1
fi
cmake -S . -B "$dir" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=Debug -DVY_TESTS=OFF -DVY_BENCH=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

# One line per checked source: its directory, then its compile command with the
# output replaced by a syntax check and the analysis added after the project's
# own warning options (which would otherwise turn the left-out note on again).
python3 - "$dir/compile_commands.json" "$PWD" >"$dir/thread-safety-commands.txt" <<'PY'
import json, shlex, sys
root = sys.argv[2]
wanted = ("thread/", "processor/", "app/", "runtime/CImageQueue.cpp", "console/OutputRelay.cpp", "tools/FileWriterThread.cpp")
for entry in json.load(open(sys.argv[1])):
    source = entry["file"]
    relative = source[len(root) + 1:] if source.startswith(root + "/") else source
    if not relative.startswith(wanted):
        continue
    args = entry.get("arguments") or shlex.split(entry["command"])
    checked, skip = [], False
    for arg in args:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg == "-c":
            continue
        checked.append(arg)
    checked += ["-fsyntax-only", "-Wthread-safety", "-Werror", "-Wno-delete-non-abstract-non-virtual-dtor"]
    print(shlex.quote(entry["directory"]) + " " + " ".join(shlex.quote(a) for a in checked))
PY
count=$(wc -l <"$dir/thread-safety-commands.txt")
if ((count == 0)); then
    echo "run-thread-safety: no sources to check in $dir/compile_commands.json" >&2
    exit 1
fi
# Every file is checked; the run fails when any of them has a finding.
status=0
xargs -P "$jobs" -L 1 sh -c 'cd "$0" && "$@"' <"$dir/thread-safety-commands.txt" || status=$?
echo "run-thread-safety: $count files checked in $((SECONDS - start)) s (status $status)"
exit "$status"
