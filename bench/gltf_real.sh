#!/usr/bin/env bash
# Every glTF 2.0 file Debian's assimp-testmodels ships (sample models,
# the glTF asset generator's primitive modes, broken files): read, replayed
# baked and into the nodes, and measured back against the original with least
# squares (the vertices pair up). One line a file: what happened.
# Usage: bench/gltf_real.sh BIN_DIR [MODELS_DIR] [WORK_DIR]
set -uo pipefail
k=$1/korvane models=${2:-/usr/share/assimp/models/glTF2} work=${3:-/tmp/korvane-gltf-real}
motion=$(cd "$(dirname "$0")" && pwd)/motion.matrix
rm -rf "$work" && mkdir -p "$work"
find "$models" \( -name '*.gltf' -o -name '*.glb' \) | sort | while read -r f; do
  rel=${f#"$models"/} d=$work/$(dirname "$rel")
  mkdir -p "$d" && cp -r "$(dirname "$f")"/. "$d"/ 2>/dev/null
  in=$d/$(basename "$f") ext=${f##*.}
  line="$rel:"
  for mode in baked nodes; do
    out=$d/moved_$mode.$ext flag=()
    [ $mode = nodes ] && flag=(--gltf-nodes)
    if msg=$("$k" apply -q "${flag[@]}" -m "$motion" "$in" -o "$out" 2>&1); then
      fit=$("$k" calc --fit least-squares --json "$in" "$out" -o /dev/null 2>&1 |
            /usr/bin/python3 -c 'import json,sys
try:
  r=json.load(sys.stdin); print("fits" if r.get("fits") else "DOES NOT FIT")
except Exception as e: print("calc failed")')
      line+=" $mode: $fit;"
    else
      line+=" $mode refused: ${msg##*: };"
    fi
  done
  echo "$line"
done
