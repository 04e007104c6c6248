#!/usr/bin/env bash
# Formats every C++ file that git tracks with the project's .clang-format.
#   scripts/format.sh           rewrites the files
#   scripts/format.sh --check   changes nothing; fails and names the files
#                               that are not formatted
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  bad=()
  for file in "${files[@]}"; do
    if ! clang-format --dry-run --Werror "$file" >/dev/null 2>&1; then bad+=("$file"); fi
  done
  if [ ${#bad[@]} -gt 0 ]; then
    printf 'Not formatted (run scripts/format.sh):\n' >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
  fi
  exit 0
fi
clang-format -i "${files[@]}"
