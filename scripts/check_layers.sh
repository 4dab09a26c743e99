#!/usr/bin/env bash
# Fails when a source file includes from a folder above its own. The rooms,
# bottom to top: text, platform, geometry, obj, matrix, api, cli (platform may
# use text; nothing below may use what is built on it). Only platform/ knows
# the system: a preprocessor test of _WIN32 (or another system's macro)
# anywhere else fails too.
# Usage: check_layers.sh [SRC_DIR]
set -euo pipefail
src=${1:-"$(dirname "$0")/../src"}
rank() {
  case $1 in
    text) echo 0 ;; platform) echo 1 ;; geometry) echo 2 ;; obj) echo 3 ;;
    matrix) echo 4 ;; api) echo 5 ;; cli) echo 6 ;; *) echo -1 ;;
  esac
}
bad=0
files=0
while IFS= read -r file; do
  files=$((files + 1))
  room=${file#"$src"/}
  room=${room%%/*}
  own=$(rank "$room")
  if [ "$own" -lt 0 ]; then
    echo "$file: folder '$room' is not a known room"
    bad=1
    continue
  fi
  while IFS= read -r line; do
    target=$(sed -E 's/^[0-9]+:[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"/]+)\/.*/\1/' <<<"$line")
    [ "$target" = korvane ] && continue  # the public headers
    theirs=$(rank "$target")
    if [ "$theirs" -lt 0 ] || [ "$theirs" -gt "$own" ]; then
      echo "$file:${line%%:*}: $room/ must not include from $target/"
      bad=1
    fi
  done < <(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"/]+/' "$file" || true)
  if [ "$room" != platform ]; then
    while IFS= read -r line; do
      echo "$file:${line%%:*}: only platform/ may test which system it is built for"
      bad=1
    done < <(grep -nE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif|elifdef|elifndef)\b.*\b(_WIN32|_WIN64|__MINGW32__|__MINGW64__|_MSC_VER|__linux__|__APPLE__|__unix__)\b' "$file" || true)
  fi
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.def' \) | sort)
if [ "$files" -eq 0 ]; then
  echo "no sources under $src"
  exit 1
fi
if [ "$bad" -ne 0 ]; then
  echo "layering: FAILED"
  exit 1
fi
echo "layering: $files files, every include from the file's own room or below, the system tested in platform/ only"
