#!/bin/sh
# Batch replay with korvane apply: N files of V vertices each, one worker
# against two (or more), the outputs checked byte for byte against runs of
# one file each, and peak memory of the whole process.
#
#   bench/batch_bench.sh [BIN_DIR=build/native/bin] [FILES=16] [VERTICES=100000] [RUNS=5] [PARENT=/tmp]
#
# Everything is created in a scratch directory under PARENT and removed at
# the end, whatever happens. Times are wall seconds of the whole command, the
# inputs in the page cache (they have just been written).
# The peak RSS of one file on its own is printed first, for comparison.
set -eu

bin=${1:-build/native/bin}
files=${2:-16}
vertices=${3:-100000}
runs=${4:-5}
parent=${5:-/tmp}

dir=$(mktemp -d "$parent/korvane-batch-XXXXXX")
trap 'rm -rf "$dir"' EXIT INT TERM
mkdir "$dir/in" "$dir/single"

i=1
while [ "$i" -le "$files" ]; do
  "$bin/gen_mesh" "$dir/in/mesh$i.obj" "$vertices" "$i" >/dev/null
  i=$((i + 1))
done
du -sh "$dir/in" | awk '{ print "inputs: " $1 }'

# 30 degrees about (1, 2, 3), scale 1.5, a translation.
cat > "$dir/motion.matrix" <<'EOF2'
1.3133925266997539 -0.57262895225676314 0.44395512593792408 12.5
0.63004663634914659 1.3564557897690415 -0.11431940529574314 -340.25
-0.35782859979934895 0.2865724575728934 1.4282278948845206 7
0 0 0 1
EOF2

# The reference: every file on its own.
for f in "$dir"/in/*.obj; do
  /usr/bin/time -f '%M' -o "$dir/single.rss" \
    "$bin/korvane" apply -q -m "$dir/motion.matrix" "$f" -o "$dir/single/$(basename "$f")"
done
echo "one file on its own: peak RSS $(cat "$dir/single.rss") KiB"

# One run with J workers into an empty directory (files replaced by rename
# cost the file system more: see bench/README.md), after the previous run's
# files were removed and synced; appends "seconds peak_RSS_KiB" to times.J.
run() {
  j=$1
  rm -rf "$dir/out$j"
  mkdir "$dir/out$j"
  sync
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$dir/rss" \
    "$bin/korvane" apply -q -j "$j" -m "$dir/motion.matrix" "$dir"/in/*.obj -o "$dir/out$j"
  end=$(date +%s.%N)
  echo "$start $end $(cat "$dir/rss")" | awk '{ printf "%.4f %d\n", $2 - $1, $3 }' >>"$dir/times.$j"
}

# -j 1 and -j 2 in turn, so that both meet the same background load; the
# speed-up is the median of the ratios of neighbouring runs.
: >"$dir/times.1"
: >"$dir/times.2"
k=0
while [ "$k" -lt "$runs" ]; do
  run 1
  run 2
  k=$((k + 1))
done
for j in 1 2; do
  for f in "$dir"/single/*.obj; do
    cmp -s "$f" "$dir/out$j/$(basename "$f")" || { echo "-j $j: $(basename "$f") differs"; exit 1; }
  done
  sort -n "$dir/times.$j" | awk -v j="$j" -v n="$runs" '
    { rss = $2 > rss ? $2 : rss }
    NR == int((n + 1) / 2) { t = $1 }
    END { printf "-j %s: %.3f s wall (median of %d), peak RSS %d KiB (largest); outputs identical to single runs\n", j, t, n, rss }'
done
paste "$dir/times.1" "$dir/times.2" | awk '{ print $1 / $3 }' | sort -n | awk -v n="$runs" '
  { r[NR] = $1 } END { printf "speed-up -j 2 over -j 1: %.2fx (median of %d pairs; %.2fx to %.2fx)\n", r[int((n + 1) / 2)], n, r[1], r[n] }'
