#!/usr/bin/env bash
# Opens in Chromium the report page that `korvane calc --report` writes, and
# checks its table against the `--json` output of the same measurement.
# Usage: report_calc_test.sh KORVANE [RUNNER]   e.g. RUNNER=wine for korvane.exe
# The meshes come from the native `korvane demo` (KORVANE_DEMO, default KORVANE).
set -euo pipefail
korvane=$1
runner=${2:-}
demo=${KORVANE_DEMO:-$korvane}
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
$demo demo --dir "$work" --vertices 4000 >/dev/null
# A copy in another vertex order: three points misjudge it, ICP does not.
awk 'BEGIN{srand(3)} /^v /{v[++n]=$0; next} END{for(i=n;i>1;i--){j=int(rand()*i)+1; t=v[i]; v[i]=v[j]; v[j]=t} for(i=1;i<=n;i++) print v[i]}' \
  "$work/transformed.obj" >"$work/shuffled.obj"
cd "$work"
status=0
$runner "$korvane" calc base.obj shuffled.obj -o m.matrix --fit icp --json --report fit.html \
  | tr -d '\r' >fit.json || status=$?
[ "$status" -eq 0 ] || { echo "calc --fit icp exited $status"; cat fit.json; exit 1; }
grep -q '"fits": true' fit.json || { echo "icp did not fit"; cat fit.json; exit 1; }
KORVANE_REPORT="$work/fit.html" KORVANE_REPORT_JSON="$work/fit.json" \
  KORVANE_SCREENSHOT="${KORVANE_SCREENSHOT:-}" node --test "$here/web/test/"
