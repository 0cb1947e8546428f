#!/usr/bin/env bash
# Checks that every C and C++ file the repository tracks is laid out as .clang-format says.
# Changes nothing: lists the files that differ (clang-format -i FILE lays one out) and exits 1.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-deps.sh
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
[ ${#files[@]} -gt 0 ] || { echo "check-format: no files to check" >&2; exit 1; }
differ=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || differ+=("$f")
done
if [ ${#differ[@]} -gt 0 ]; then
  echo "format: ${#differ[@]} of ${#files[@]} files differ from .clang-format ($(clang-format --version)):"
  printf '  %s\n' "${differ[@]}"
  exit 1
fi
echo "format: ${#files[@]} files checked, all as .clang-format says"
