#!/usr/bin/env bash
# Builds the fuzz harnesses with libFuzzer (clang, ASan + UBSan) in build/fuzz
# and fuzzes them one after the other, then merges the inputs that reach new
# code into fuzz/corpus/<name>/, which every build replays as a test.
#
#   scripts/fuzz.sh [SECONDS [HARNESS...]]
#
# SECONDS is the fuzzing time per harness (default 600); the default harness
# list is all of them. One fuzzer runs at a time, on one core. A crash does
# not end a harness's run early: the fuzzer is restarted for the time left,
# and the crashing inputs are copied into the corpus at the end so that the
# replay tests show them until the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-600}
shift || true
all=(obj_record obj_document matrix_text number_parse number_format object_name farthest stl_mesh ply_mesh
     gltf)
if (($#)); then harnesses=("$@"); else harnesses=("${all[@]}"); fi

build=build/fuzz
max_restarts=10
# The OBJ harness writes each input to a file; memory-backed files keep the
# disk from setting the pace.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

max_len() {
  case $1 in
    number_format) echo 512 ;;
    farthest) echo 2200 ;;  # header and 300 points of 7 bytes
    gltf) echo 16384 ;;     # the Blender-exported seeds are up to 8.5 KB
    *) echo 4096 ;;
  esac
}

dict() {
  case $1 in
    obj_record | obj_document | matrix_text | number_parse) echo fuzz/dict/numbers.dict ;;
    object_name) echo fuzz/dict/object_name.dict ;;
    gltf) echo fuzz/dict/gltf.dict ;;
    *) echo "" ;;
  esac
}

echo "== configuring $build (clang, libFuzzer, ASan + UBSan)"
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKORVANE_LIBFUZZER=ON -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCH=OFF >/dev/null
targets=()
for name in "${harnesses[@]}"; do targets+=("fuzz_$name"); done
# Two jobs at most: the machine is shared.
cmake --build "$build" -j2 --target "${targets[@]}"

summary=()
for name in "${harnesses[@]}"; do
  bin=$build/bin/fuzz_$name
  work=$build/corpus/$name
  run_id=$(date +%Y%m%d-%H%M%S)
  artifacts=$build/artifacts/$name/$run_id
  logs=$build/logs/$name/$run_id
  mkdir -p "$work" "$artifacts" "$logs" "fuzz/corpus/$name"
  len=$(max_len "$name")
  options=(-rss_limit_mb=2048 -max_len="$len" -timeout=30 -print_final_stats=1
           -artifact_prefix="$artifacts/")
  d=$(dict "$name")
  if [ -n "$d" ]; then options+=(-dict="$d"); fi

  echo "== fuzzing $name for ${seconds}s (log: $logs)"
  start=$SECONDS
  executions=0
  runs=0
  while :; do
    left=$((seconds - (SECONDS - start)))
    ((left > 0 && runs <= max_restarts)) || break
    runs=$((runs + 1))
    log=$logs/run$runs.log
    status=0
    "$bin" "${options[@]}" -max_total_time="$left" "$work" "fuzz/corpus/$name" >"$log" 2>&1 ||
      status=$?
    n=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$log" | tail -1)
    # Without the final statistics, the last progress line says how far it got.
    [ -n "$n" ] || n=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -1)
    executions=$((executions + ${n:-0}))
    if ((status == 0)); then break; fi
    echo "   run $runs stopped with status $status after $((SECONDS - start))s:"
    grep -m3 -E 'ERROR|property failed|Test unit written' "$log" | sed 's/^/     /' || true
  done
  elapsed=$((SECONDS - start))

  before=$(find "fuzz/corpus/$name" -type f | wc -l)
  "$bin" -merge=1 -rss_limit_mb=2048 -max_len="$len" "fuzz/corpus/$name" "$work" \
    >"$logs/merge.log" 2>&1 || echo "   merge failed, see $logs/merge.log"
  after=$(find "fuzz/corpus/$name" -type f | wc -l)

  crashes=0
  for f in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*; do
    [ -f "$f" ] || continue
    crashes=$((crashes + 1))
    cp "$f" "fuzz/corpus/$name/"
    echo "   kept $(basename "$f") in fuzz/corpus/$name/"
  done
  line=$(printf '%-14s %6ss %12s executions %3s crashes  corpus %s -> %s files' \
    "$name" "$elapsed" "$executions" "$crashes" "$before" "$after")
  echo "   $line"
  summary+=("$line")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
