#!/usr/bin/env bash
# Builds the report page's writer tests and driver, and runs them: the unit
# tests, then the browser tests, which open pages made by the driver (or the
# page named by KORVANE_REPORT, with KORVANE_REPORT_JSON) in Chromium.
# A screenshot of the page goes to $KORVANE_SCREENSHOT (build/web_test/report.png).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh

cmake --preset native >/dev/null
cmake --build --preset native --target report_driver report_page_test -j2
build/native/bin/report_page_test --gtest_brief=1

mkdir -p build/web_test
export KORVANE_SCREENSHOT="${KORVANE_SCREENSHOT:-$PWD/build/web_test/report.png}"
export KORVANE_REPORT_DRIVER="$PWD/build/native/bin/report_driver"
node --test web/test/
echo "screenshot: $KORVANE_SCREENSHOT"
