#!/usr/bin/env bash
# Checks that every C++ file in the repository follows .clang-format; lists the ones that do not.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
bad=()
while IFS= read -r -d '' file; do
  if ! clang-format-14 --dry-run --Werror "$file" >/dev/null 2>&1; then
    bad+=("$file")
  fi
done < <(git ls-files -z '*.cpp' '*.h')
if [ ${#bad[@]} -gt 0 ]; then
  echo "not formatted (run clang-format-14 -i on them):"
  printf '  %s\n' "${bad[@]}"
  exit 1
fi
echo "all C++ files follow .clang-format"
