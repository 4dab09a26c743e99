#!/bin/sh
# Peak memory of ApplyMatrix streaming a big target through the command-line
# host, the way a host application runs it.
#
#   bench/peak_memory.sh [BIN_DIR=build/native/bin] [VERTICES=6000000] [PARENT=/tmp]
#
# 6 million vertices of the generated mesh (v, vt, vn, f) make about 1 GB.
# Everything is created in a scratch directory under PARENT and removed at
# the end, whatever happens.
set -eu

bin=${1:-build/native/bin}
vertices=${2:-6000000}
parent=${3:-/tmp}
here=$(cd "$(dirname "$0")" && pwd)

dir=$(mktemp -d "$parent/korvane-peak-XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM

"$bin/gen_mesh" "$dir/target.obj" "$vertices" 1

# 30 degrees about (1, 2, 3), scale 1.5, a translation (bench_util.h's BenchMotion).
cp "$here/motion.matrix" "$dir/motion.matrix"

status=0
/usr/bin/time -v "$bin/korvane" call ApplyMatrix --workdir "$dir" --text "$dir/motion.matrix" \
  2> "$dir/time.txt" || status=$?
grep -E 'Maximum resident set size|Elapsed \(wall clock\)|Exit status' "$dir/time.txt"
ls -l "$dir/target.obj" "$dir/applied.obj" | awk '{ printf "%s: %.1f MB\n", $NF, $5 / 1e6 }'
exit "$status"
