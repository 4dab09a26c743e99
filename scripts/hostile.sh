#!/usr/bin/env bash
# Feeds the command-line host hostile inputs and reports, for each, the
# outcome and the peak memory: a 2 GB line without a line feed, a file of NUL
# bytes, 10 million vertex lines with extreme exponents, deep runs of spaces,
# CR-only line ends and a matrix file of 10 MB of digits.
# Usage: scripts/hostile.sh [KORVANE_BINARY]   (needs ~6 GB of free disk in $TMPDIR)
set -uo pipefail
korvane=${1:-build/native/bin/korvane}
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-hostile.XXXXXX")
trap 'rm -rf "$work"' EXIT
printf '1 0 0 0.5\n0 1 0 0\n0 0 1 0\n0 0 0 1\n' > "$work/m.matrix"

run() {  # name, then the command's arguments
  local name=$1; shift
  local start end status rss
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$work/rss" "$korvane" "$@" >"$work/out" 2>&1
  status=$?
  end=$(date +%s.%N)
  rss=$(tail -n 1 "$work/rss")
  printf '%-34s exit %d  %6.1f s  peak RSS %7.1f MiB  %s\n' "$name" "$status" \
    "$(echo "$end - $start" | bc)" "$(echo "$rss / 1024" | bc -l)" \
    "$(head -c 150 "$work/out" | tr '\n' ' ')"
}

apply_to() {  # name, input file
  rm -f "$work/applied.obj"
  run "$1" apply -m "$work/m.matrix" "$2" -o "$work/applied.obj"
  [ -f "$work/applied.obj" ] && printf '%34s output %s bytes\n' "" "$(stat -c %s "$work/applied.obj")"
  rm -f "$2" "$work/applied.obj"
}

head -c 2147483648 /dev/zero | tr '\0' 'x' > "$work/line.obj"
apply_to "2 GB line, no line feed" "$work/line.obj"

head -c 100000000 /dev/zero > "$work/nul.obj"
apply_to "100 MB of NUL bytes" "$work/nul.obj"

awk 'BEGIN { for (i = 0; i < 10000000; i++) printf "v 1e-300 -2.5e-308 4e+300\n" }' > "$work/exp.obj"
apply_to "10M v lines, extreme exponents" "$work/exp.obj"
awk 'BEGIN { for (i = 0; i < 10000000; i++) printf "v 1e-300 -2.5e-308 4e+300\n"; print "v 1 1e999 0" }' > "$work/exp2.obj"
apply_to "... then 1e999 on the last line" "$work/exp2.obj"

{ printf 'v'; head -c 300000000 /dev/zero | tr '\0' ' '; printf '1 2 3\nf'; head -c 300000000 /dev/zero | tr '\0' ' '; printf '1 2 3\n'; } > "$work/spaces.obj"
apply_to "runs of 300 MB of spaces" "$work/spaces.obj"

awk 'BEGIN { for (i = 0; i < 1000000; i++) printf "v %d 2 3\r", i }' > "$work/cr.obj"
apply_to "CR-only line ends (1M lines)" "$work/cr.obj"

{ printf '1'; head -c 10000000 /dev/zero | tr '\0' '7'; printf ' 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n'; } > "$work/big.matrix"
printf 'v 1 2 3\n' > "$work/t.obj"
rm -f "$work/applied.obj"
run "matrix of 10 MB of digits" apply -m "$work/big.matrix" "$work/t.obj" -o "$work/applied.obj"
{ printf '0.'; head -c 10000000 /dev/zero | tr '\0' '0'; printf '1 0 0 0\n0 1 0 0\n0 0 1 0\n0 0 0 1\n'; } > "$work/tiny.matrix"
run "matrix 0.000...1 (10 MB of zeros)" apply -m "$work/tiny.matrix" "$work/t.obj" -o "$work/applied.obj"
