#!/usr/bin/env bash
# The main job: build korvane and run the guided demo (measure a known motion,
# replay it, undo it) in build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target korvane
mkdir -p build/demo
build/native/bin/korvane demo --dir build/demo "$@"
