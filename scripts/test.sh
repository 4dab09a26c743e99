#!/usr/bin/env bash
# Builds both flavours and runs every test: native (also under ASan+UBSan),
# the installed package with the example built against it, the fuzz corpus
# replay, the Windows ZIP's contents, and the Windows tests with the real DLL
# and korvane.exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

jobs=$(nproc)
export CTEST_PARALLEL_LEVEL=$jobs

echo "== native build"
cmake --preset native >/dev/null
cmake --build --preset native -j"$jobs"
echo "== native tests"
ctest --preset native

echo "== sanitizer build (ASan + UBSan)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
echo "== sanitizer tests"
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions="$PWD/tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1 ctest --preset asan

echo "== windows build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$jobs"
echo "== windows tests (real Korvane.dll under Wine, virtual X display)"
export WINEPREFIX="$PWD/build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  xvfb-run -a wine cmd /c exit >/dev/null 2>&1 || true
fi
# One X server and one wineserver for the whole run; tests run one at a time
# because they share the Wine desktop.
xvfb-run -a bash -c 'ctest --preset windows -j1; status=$?; wineserver -k || true; exit $status'

echo "== korvane.exe calc under Wine against the Linux build; its report page in Chromium"
xvfb-run -a bash -c 'bash scripts/wine_calc_test.sh "$PWD/build/native/bin/korvane" "$PWD/build/windows/bin/korvane.exe"; status=$?; wineserver -k || true; exit $status'

echo "== windows package (ZIP) and its contents"
cmake --build --preset windows --target package
bash scripts/check_package.sh build/windows
