#!/bin/bash
# Times two whole commands in turn, RUNS times each (A B A B ...), with
# /usr/bin/time: medians of wall and CPU (user + system) seconds of each,
# and the median and least of the ratios A/B of neighbouring runs, which
# keeps the ratio fair when the machine's load drifts.
# Usage: bench/pair_time.sh RUNS 'COMMAND A' 'COMMAND B'
set -eu
runs=$1; a=$2; b=$3
t=$(mktemp); trap 'rm -f "$t"' EXIT
for ((i = 0; i < runs; i++)); do
  for c in "$a" "$b"; do
    /usr/bin/time -f "%e %U %S" -o "$t" -a sh -c "$c" >/dev/null 2>&1 || { echo "failed: $c" >&2; exit 1; }
  done
done
/usr/bin/python3 - "$t" <<'PY'
import statistics, sys
rows = [list(map(float, l.split())) for l in open(sys.argv[1]) if l.strip()]
a, b = rows[0::2], rows[1::2]
med = lambda v: statistics.median(v)
for name, r in (("A", a), ("B", b)):
    print(f"{name}: wall {med([x[0] for x in r]):.3f} s, cpu {med([x[1] + x[2] for x in r]):.3f} s")
wall = [x[0] / y[0] for x, y in zip(a, b) if y[0] > 0]
cpu = [(x[1] + x[2]) / (y[1] + y[2]) for x, y in zip(a, b) if y[1] + y[2] > 0]
print(f"A/B wall: median {med(wall):.2f}x, least {min(wall):.2f}x; cpu: median {med(cpu):.2f}x, least {min(cpu):.2f}x")
PY
