#!/bin/bash
# The copies benchmark in one command: the mesh packages fetched and unpacked
# (not installed), converted, the programs built, then bench/copies_bench.py.
#
#   bench/copies_run.sh quick|full [copies_bench.py options...]
#
# quick: every fourth mesh and a third of the solids (a few minutes); full:
# every mesh and solid, then the 1M-point scan against a 1M-vertex base.
# Scratch: $KORVANE_MESHES (default /tmp/korvane-meshes), kept between runs.
# Needs Open3D for the peer: bash scripts/deps.sh bench (or pass --no-open3d).
set -euo pipefail
mode=${1:?quick or full}
shift
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
scratch=${KORVANE_MESHES:-/tmp/korvane-meshes}
root=$scratch/root
if [ ! -d "$scratch/obj" ]; then
  mkdir -p "$scratch/debs" "$root"
  (cd "$scratch/debs" &&
    apt-get download glmark2-data cura openscad-testing-data libcgal-demo openfoam-examples \
      assimp-testmodels)
  for f in "$scratch"/debs/*.deb; do dpkg -x "$f" "$root"; done
  bash "$here/real_meshes.sh" "$scratch/obj.part" "$root"
  mv "$scratch/obj.part" "$scratch/obj"
fi
cmake --preset native >/dev/null
cmake --build --preset native --target korvane copies gen_mesh -j2
case $mode in
  quick) set -- --quick "$@" ;;
  full) set -- --big 1000000 "$@" ;;
  *) echo "quick or full, not $mode" >&2; exit 2 ;;
esac
cd "$repo"
exec /usr/bin/python3 "$here/copies_bench.py" "$scratch/obj" --bin build/native/bin "$@"
