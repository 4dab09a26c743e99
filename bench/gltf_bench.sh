#!/usr/bin/env bash
# glTF against OBJ and cp: measuring a 1M-vertex mesh read from a GLB against
# the same mesh in OBJ, and replaying the GLB (baked and into the node)
# against cp replacing a file. Best of RUNS wall and CPU times.
# Usage: bench/gltf_bench.sh BIN_DIR [VERTICES] [DIR] [RUNS]
set -euo pipefail
bin=$1 n=${2:-1000000} dir=${3:-/tmp} runs=${4:-5}
here=$(cd "$(dirname "$0")" && pwd)
k=$bin/korvane m=$here/motion.matrix
[ -f "$dir/gb_base.obj" ] || "$bin/gen_mesh" "$dir/gb_base.obj" "$n"
[ -f "$dir/gb_base.glb" ] || /usr/bin/python3 "$here/obj_to_glb.py" "$dir/gb_base.obj" "$dir/gb_base.glb"
"$k" apply -q -m "$m" "$dir/gb_base.obj" -o "$dir/gb_moved.obj" --force
"$k" apply -q -m "$m" "$dir/gb_base.glb" -o "$dir/gb_moved.glb" --force
best() {  # best wall and CPU seconds of $runs runs of "$@"
  local t=$dir/gb_time.txt
  : > "$t.all"
  for _ in $(seq "$runs"); do
    /usr/bin/time -f "%e %U %S" -o "$t" "$@" >/dev/null 2>&1 || true
    tail -1 "$t" >> "$t.all"
  done
  awk -v l="$label" 'NR == 1 || $1 < w { w = $1 } NR == 1 || $2 + $3 < c { c = $2 + $3 }
                     END { printf "%-34s wall %6.2f s  cpu %6.2f s\n", l, w, c }' "$t.all"
}
ls -l "$dir/gb_base.obj" "$dir/gb_base.glb" | awk '{print $5, $9}'
label="calc OBJ pair (three-point)"; best "$k" calc --fit three-point "$dir/gb_base.obj" "$dir/gb_moved.obj" -o "$dir/gb.matrix" --force
label="calc GLB pair (three-point)"; best "$k" calc --fit three-point "$dir/gb_base.glb" "$dir/gb_moved.glb" -o "$dir/gb.matrix" --force
label="cp GLB over a file"; best sh -c "cp '$dir/gb_base.glb' '$dir/gb_cp.tmp' && mv '$dir/gb_cp.tmp' '$dir/gb_cp.glb'"
label="apply GLB (baked)"; best "$k" apply -q -m "$m" "$dir/gb_base.glb" -o "$dir/gb_out.glb" --force
label="apply GLB (--gltf-nodes)"; best "$k" apply -q --gltf-nodes -m "$m" "$dir/gb_base.glb" -o "$dir/gb_out.glb" --force
label="apply OBJ"; best "$k" apply -q -m "$m" "$dir/gb_base.obj" -o "$dir/gb_out.obj" --force
