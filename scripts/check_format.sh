#!/usr/bin/env bash
# Fails when a C++ file of the project is not formatted as .clang-format says.
# Usage: check_format.sh [SOURCE_DIR]; fix with: clang-format -i <the files it names>
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.hpp' | grep -v '^web/')
if [ "${#files[@]}" -eq 0 ]; then
  echo "no C++ files found (not a git checkout?)"
  exit 1
fi
clang-format --dry-run --Werror "${files[@]}"
echo "${#files[@]} files formatted as .clang-format says"
