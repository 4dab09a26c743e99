#!/bin/sh
# `korvane calc` with its default fit as a user runs it, on a generated mesh
# of VERTICES vertices: against the exported CalcMatrix on a plain moved copy,
# and on the same copy with its vertices shuffled (ICP from nothing), beside
# Open3D's ICP with scaling from a start near the truth on the same files.
# Whole processes, timed and their peak memory read by farm-bench.
#
#   bench/calc_speed.sh [BIN_DIR=build/native/bin] [VERTICES=1000000] [PARENT=/tmp] [RUNS=5]
#
# Everything is created in a scratch directory under PARENT and removed at
# the end, whatever happens.
set -eu

bin=$(cd "${1:-build/native/bin}" && pwd)
vertices=${2:-1000000}
parent=${3:-/tmp}
runs=${4:-5}
here=$(cd "$(dirname "$0")" && pwd)

dir=$(mktemp -d "$parent/korvane-calc-XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM

"$bin/gen_mesh" "$dir/base.obj" "$vertices" 1 > /dev/null
# 30 degrees about (1, 2, 3), scale 1.5, a translation (bench_util.h's BenchMotion).
cp "$here/motion.matrix" "$dir/motion.matrix"
"$bin/korvane" apply -m "$dir/motion.matrix" "$dir/base.obj" -o "$dir/transformed.obj" 2> /dev/null
/usr/bin/python3 "$here/shuffle_obj.py" "$dir/transformed.obj" "$dir/shuffled.obj"
ls -l "$dir"/*.obj | awk '{ printf "%s: %.1f MB\n", $NF, $5 / 1e6 }'

echo "== calc (default fit) on the plain copy, against CalcMatrix"
farm-bench -n "$runs" --timeout 600 --vs "$bin/korvane call CalcMatrix --workdir $dir" -- \
  "$bin/korvane" calc "$dir/base.obj" "$dir/transformed.obj" -o "$dir/out.matrix" --force
echo "== calc (default fit) on the shuffled copy"
"$bin/korvane" calc "$dir/base.obj" "$dir/shuffled.obj" -o "$dir/out.matrix" --force |
  grep -E 'fit:|fits|does not'
farm-bench -n "$runs" --timeout 600 -- \
  "$bin/korvane" calc "$dir/base.obj" "$dir/shuffled.obj" -o "$dir/out.matrix" --force
echo "== Open3D's ICP with scaling, from a start near the truth"
/usr/bin/python3 "$here/open3d_icp.py" "$dir/base.obj" "$dir/shuffled.obj" \
  $(head -3 "$dir/motion.matrix")
