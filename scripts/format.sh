#!/usr/bin/env bash
# Lays out the C++ sources with clang-format (the settings are in .clang-format).
#   bash scripts/format.sh           # rewrite the files in place
#   bash scripts/format.sh --check   # list the files that would change; exit 1 if any
# Needs clang-format (Debian: apt install clang-format).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format.sh: error: clang-format not found (apt install clang-format)" >&2; exit 2; }
mapfile -t files < <(git ls-files 'native/*.cpp' 'native/*.hpp' 'benchmarks/*.cpp')
if [[ "${1:-}" == "--check" ]]; then
  status=0
  for f in "${files[@]}"; do
    if ! clang-format "$f" | cmp -s - "$f"; then
      echo "$f"
      status=1
    fi
  done
  exit "$status"
fi
clang-format -i "${files[@]}"
