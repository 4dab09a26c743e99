#!/usr/bin/env bash
# Size, writing time and opening time of the report page for a large pair of
# meshes: report_driver measures a generated mesh and its moved copy and
# writes the page (time and peak memory by /usr/bin/time), then headless
# Chromium opens it from disk several times (web/bench/open_time.mjs).
#
#   bench/report_page.sh [VERTICES=1000000] [RUNS=5] [DIR=/tmp]
set -euo pipefail
cd "$(dirname "$0")/.."
vertices=${1:-1000000}
runs=${2:-5}
dir=$(mktemp -d "${3:-/tmp}/korvane-report-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

cmake --preset native >/dev/null
cmake --build --preset native --target report_driver -j2 >/dev/null
/usr/bin/time -f "report_driver: %e s wall, peak RSS %M KiB (meshes, measuring and page)" \
  build/native/bin/report_driver "$dir/report.html" --vertices "$vertices"
node web/bench/open_time.mjs "$dir/report.html" "$runs"
