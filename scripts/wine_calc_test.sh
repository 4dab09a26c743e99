#!/usr/bin/env bash
# korvane.exe under Wine measures as the Linux build does: `calc --json` of
# both on the same meshes agree (numbers to 1e-9 relative: the two C runtimes
# round sin, cos and acos each their own way), and the report page the .exe
# writes passes the browser tests; `matrix make` writes the same bytes.
# Usage: wine_calc_test.sh NATIVE_KORVANE WINDOWS_KORVANE_EXE
set -euo pipefail
native=$1
exe=$2
here=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$native" demo --dir "$work" --vertices 3000 >/dev/null
cd "$work"
for fit in three-point least-squares icp; do
  "$native" calc base.obj transformed.obj -o n.matrix --fit "$fit" --json >native.json
  wine "$exe" calc base.obj transformed.obj -o w.matrix --fit "$fit" --json | tr -d '\r' >wine.json
  node -e '
    const [a, b] = [0, 1].map((i) => JSON.parse(require("fs").readFileSync(process.argv[1 + i], "utf8")));
    const bad = [];
    (function walk(x, y, at) {
      if (typeof x === "number" && typeof y === "number") {
        if (Math.abs(x - y) > 1e-9 * Math.max(1, Math.abs(x), Math.abs(y))) bad.push(`${at}: ${x} vs ${y}`);
      } else if (x && typeof x === "object" && y && typeof y === "object") {
        const keys = new Set([...Object.keys(x), ...Object.keys(y)]);
        for (const k of keys) walk(x[k], y[k], `${at}.${k}`);
      } else if (x !== y && !(at.endsWith(".message"))) {
        bad.push(`${at}: ${JSON.stringify(x)} vs ${JSON.stringify(y)}`);
      }
    })(a, b, "report");
    if (bad.length) { console.error(bad.join("\n")); process.exit(1); }' native.json wine.json \
    || { echo "korvane.exe calc --fit $fit disagrees with the Linux build"; exit 1; }
  echo "calc --fit $fit: korvane.exe agrees with the Linux build"
done
# korvane matrix make writes the same numbers on both (quarter turns exact, the
# rest to %.15g), and the .exe's file is read by the Linux build as it wrote it.
for args in "--scale 2 --rotate 0,0,1:90 --translate 1,2,3" \
            "--scale 1.5 --rotate 1,-2,3:-130 --translate 12.5,-340.25,7" \
            "--rotate 0,1,0:30"; do
  # shellcheck disable=SC2086
  "$native" matrix make $args -o n.matrix
  # shellcheck disable=SC2086
  wine "$exe" matrix make $args -o w.matrix
  tr -d '\r' <w.matrix | cmp -s - n.matrix \
    || { echo "korvane.exe matrix make $args differs from the Linux build"; diff <(tr -d '\r' <w.matrix) n.matrix; exit 1; }
  [ "$(grep -c $'\r$' w.matrix)" = 4 ] || { echo "korvane.exe matrix make: not 4 CR LF lines"; exit 1; }
  "$native" matrix show w.matrix >/dev/null || { echo "the .exe's matrix file is refused natively"; exit 1; }
done
echo "matrix make: korvane.exe writes the Linux build's bytes (CR LF line ends)"
KORVANE_DEMO=$native bash "$here/scripts/report_calc_test.sh" "$exe" wine
