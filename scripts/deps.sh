#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config
  libeigen3-dev googletest libgtest-dev libfast-float-dev libtinyobjloader-dev
  libnanoflann-dev libcli11-dev nlohmann-json3-dev libtinygltf-dev unzip
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth
  clang libclang-rt-14-dev clang-format locales bc
  nodejs chromium
  python3-dev python3-numpy python3-pytest python3-distributed pybind11-dev
  glmark2-data blender
)
# The benchmarks' peer (bench/copies_bench.py, bench/open3d_icp.py), only on
# request: `bash scripts/deps.sh bench`. No test and no CI run needs it.
if [ "${1:-}" = bench ]; then packages+=(python3-open3d); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Some Node.js builds bring npm themselves and conflict with Debian's package.
command -v npm >/dev/null || missing+=(npm)
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The report page is bundled from web/ with the npm packages its lock file pins:
# install them when node_modules is missing or differs from the lock file.
web="$(cd "$(dirname "$0")/../web" && pwd)"
if ! node - "$web" <<'JS'
const fs = require('fs');
const dir = process.argv[2];
const read = (f) => JSON.parse(fs.readFileSync(`${dir}/${f}`, 'utf8')).packages;
let want, have;
try { want = read('package-lock.json'); have = read('node_modules/.package-lock.json'); } catch { process.exit(1); }
const here = (list, value) => !list || list.includes(value);
for (const [path, w] of Object.entries(want)) {
  if (path === '') continue;
  const h = have[path];
  // Optional packages for other systems (esbuild's binaries) are never installed.
  if (!h) { if (w.optional && !(here(w.os, process.platform) && here(w.cpu, process.arch))) continue; process.exit(1); }
  if (h.version !== w.version || h.integrity !== w.integrity || !fs.existsSync(`${dir}/${path}`)) process.exit(1);
}
for (const path of Object.keys(have)) if (!(path in want)) process.exit(1);
JS
then
  echo "Installing the npm packages of web/ (npm ci)"
  npm ci --prefix "$web" --no-audit --no-fund --loglevel=error
fi
