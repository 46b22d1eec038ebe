#!/usr/bin/env bash
# Applies the tree's one style (.clang-format) to every tracked C++ source, or
# with --check lists the files that differ from it and fails.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.inc' '*.c' 2>/dev/null ||
  find . -path ./build -prune -o -path ./.deps -prune -o \( -name '*.cpp' -o -name '*.h' -o -name '*.inc' -o -name '*.c' \) -print)
[ ${#files[@]} -gt 0 ] || exit 0
if [ "${1:-}" = --check ]; then
  out=$(clang-format --style=file --dry-run --Werror "${files[@]}" 2>&1 || true)
  [ -z "$out" ] && exit 0
  grep -o '^[^: ]*:[0-9]*:' <<<"$out" | cut -d: -f1 | sort -u | sed 's/$/ is not formatted (run tools\/format.sh)/'
  exit 1
fi
clang-format --style=file -i "${files[@]}"
