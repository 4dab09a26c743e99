#!/usr/bin/env bash
# Installs a finished build into a fresh prefix, then configures, builds and
# runs examples/measure_and_replay against the installed package only.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/korvane include/korvane/korvane.hpp include/korvane/korvane.h include/korvane/version.h; do
  [ -f "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
lib=$(find "$prefix" -name libKorvane.so)
config=$(find "$prefix" -name KorvaneConfig.cmake)
[ -n "$lib" ] && [ -n "$config" ] && [ -f "$(dirname "$config")/KorvaneConfigVersion.cmake" ] ||
  { echo "library or CMake package missing under $prefix"; exit 1; }
[ "$("$prefix/bin/korvane" --version)" = "korvane $(sed -n 's/^#define KORVANE_VERSION "\(.*\)"/\1/p' "$prefix/include/korvane/version.h")" ]

cmake -S "$source/examples/measure_and_replay" -B "$tmp/example" -G Ninja \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Werror" >/dev/null
cmake --build "$tmp/example" >/dev/null
# The program runs with the installed library, not the one in the build tree.
ldd "$tmp/example/measure_and_replay" | grep -F "$lib" >/dev/null ||
  { echo "not linked to $lib:"; ldd "$tmp/example/measure_and_replay"; exit 1; }
mkdir "$tmp/work"
"$tmp/example/measure_and_replay" "$tmp/work"

# A version this package does not claim must not be found.
mkdir "$tmp/too-new"
echo 'cmake_minimum_required(VERSION 3.16)
project(p LANGUAGES CXX)
find_package(Korvane 1.0 REQUIRED)' >"$tmp/too-new/CMakeLists.txt"
if cmake -S "$tmp/too-new" -B "$tmp/too-new/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null 2>&1; then
  echo "find_package(Korvane 1.0) accepted version $(basename "$(dirname "$config")")"
  exit 1
fi
echo "install_and_link: installed under a fresh prefix; the example built and ran against it"
