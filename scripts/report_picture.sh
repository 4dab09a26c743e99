#!/usr/bin/env bash
# Retakes docs/report.png, the README's picture of a report page, from the page
# korvane draws today: the Stanford bunny that glmark2-data ships, its vertices
# reordered and the copy moved, measured with --fit icp; the page is opened in
# Chromium by the report page's browser tests (which must pass), whose
# screenshot becomes the picture. Usage: scripts/report_picture.sh [OUT.png]
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-docs/report.png}")
bunny=/usr/share/glmark2/models/bunny.obj
[ -f "$bunny" ] || { echo "$bunny missing: apt-get install glmark2-data" >&2; exit 1; }
bash scripts/deps.sh
cmake --preset native >/dev/null
cmake --build --preset native --target korvane -j2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The copy: vertices in another order (faces renumbered), turned, scaled and
# shifted, six decimals, as another tool would write it.
/usr/bin/python3 - "$bunny" "$work" <<'PY'
import math, random, sys
src, work = sys.argv[1], sys.argv[2]
vs, fs = [], []
for line in open(src):
    t = line.split()
    if t and t[0] == 'v':
        vs.append(tuple(float(x) for x in t[1:4]))
    elif t and t[0] == 'f':
        fs.append([int(x.split('/')[0]) for x in t[1:]])
order = list(range(len(vs)))
random.Random(27).shuffle(order)
where = {old: new for new, old in enumerate(order)}
a = math.radians(40)
c, s = math.cos(a), math.sin(a)
with open(f'{work}/base.obj', 'w') as b:
    b.writelines('v %r %r %r\n' % v for v in vs)
    b.writelines('f %s\n' % ' '.join(map(str, f)) for f in fs)
with open(f'{work}/moved.obj', 'w') as m:
    for old in order:
        x, y, z = vs[old]
        m.write('v %.6f %.6f %.6f\n' % (1.5 * (c * x - s * z) + 0.4, 1.5 * y - 0.2, 1.5 * (s * x + c * z) + 0.1))
    m.writelines('f %s\n' % ' '.join(str(where[i - 1] + 1) for i in f) for f in fs)
PY
korvane=$PWD/build/native/bin/korvane
(cd "$work" && "$korvane" calc base.obj moved.obj --fit icp -o m.matrix --report report.html \
  --json >report.json)
KORVANE_REPORT="$work/report.html" KORVANE_REPORT_JSON="$work/report.json" \
  KORVANE_SCREENSHOT="$out" node --test web/test/
echo "picture: $out"
