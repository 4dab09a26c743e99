#!/usr/bin/env bash
# Korvane added to another project with add_subdirectory, built without the
# report page (as on a machine without Node.js): the library and the host
# build, no test, benchmark or fuzzer of Korvane's is configured, and
# `korvane calc --report` says that this build has no page.
# Usage: subproject_test.sh SOURCE_DIR
set -euo pipefail
source=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

mkdir "$tmp/host"
cat >"$tmp/host/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(host LANGUAGES CXX)
add_subdirectory("$source" korvane)
foreach(target korvane_test_support korvane_line_model korvane_baseline fuzz_farthest korvane_report)
  if(TARGET \${target})
    message(FATAL_ERROR "\${target} is configured for a project that only uses Korvane")
  endif()
endforeach()
add_executable(host main.cpp)
target_link_libraries(host PRIVATE Korvane)
CMAKE
cat >"$tmp/host/main.cpp" <<'CPP'
#include <cstdio>
#include "korvane/korvane.hpp"
int main() { std::printf("%s\n", korvane::FitName(korvane::MeasureOptions{}.fit)); }
CPP
cmake -S "$tmp/host" -B "$tmp/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DKORVANE_REPORT_PAGE=OFF >"$tmp/configure.log" || { cat "$tmp/configure.log"; exit 1; }
cmake --build "$tmp/build" --target host korvane >"$tmp/build.log" || { tail -50 "$tmp/build.log"; exit 1; }
[ "$("$tmp/build/host")" = auto ] || { echo "the host program did not run"; exit 1; }

korvane=$tmp/build/bin/korvane
set +e
"$korvane" calc a.obj b.obj --report fit.html 2>"$tmp/err"
status=$?
set -e
[ "$status" -eq 2 ] || { echo "calc --report without a page: exit $status"; cat "$tmp/err"; exit 1; }
grep -q "this build of korvane has no report page" "$tmp/err" ||
  { echo "calc --report without a page said:"; cat "$tmp/err"; exit 1; }
# Everything else works: the demo measures, replays and undoes without a page.
mkdir "$tmp/demo"
"$korvane" demo --dir "$tmp/demo" --vertices 2000 >"$tmp/demo.log" ||
  { cat "$tmp/demo.log"; exit 1; }
grep -q "no report page" "$tmp/demo.log" && [ ! -e "$tmp/demo/report.html" ] ||
  { echo "the demo without a page:"; cat "$tmp/demo.log"; exit 1; }
echo "subproject without the report page: built and checked"
