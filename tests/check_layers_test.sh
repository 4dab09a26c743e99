#!/usr/bin/env bash
# The layering check on small trees: what it lets through and what it refuses.
set -uo pipefail
check="$(dirname "$0")/../scripts/check_layers.sh"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failed=0
# expect PASS|FAIL FILE CONTENT: a tree of one file besides a clean one.
expect() {
  rm -rf "$tree/src" && mkdir -p "$tree/src/text" && echo '#pragma once' >"$tree/src/text/t.h"
  mkdir -p "$(dirname "$tree/src/$2")" && printf '%b' "$3" >"$tree/src/$2"
  if bash "$check" "$tree/src" >/dev/null; then got=PASS; else got=FAIL; fi
  if [ "$got" != "$1" ]; then
    echo "expected $1, got $got: $2: $3"
    failed=1
  fi
}
expect PASS cli/a.cpp '#include "geometry/fit.h"\n#include "cli/b.h"\n'
expect PASS platform/a.cpp '#ifdef _WIN32\n#include <windows.h>\n#endif\n'
expect PASS obj/a.cpp '// _WIN32 named in a comment\nbool w = platform::kIsWindows;\n'
expect FAIL geometry/a.h '#include "api/commands.h"\n'
expect FAIL other/a.h '#pragma once\n'
expect FAIL cli/a.cpp '#ifdef _WIN32\n#endif\n'
expect FAIL api/a.cpp '#  if defined(_WIN64) || defined(__linux__)\n#endif\n'
expect FAIL text/b.h '#ifndef _MSC_VER\n#endif\n'
[ "$failed" -eq 0 ] && echo "check_layers: every case as expected"
exit "$failed"
