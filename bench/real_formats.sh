#!/bin/bash
# Replays a known motion on every STL and PLY file under the given folders and
# measures it back: each moved copy must be measured as the motion (the found
# matrix within 1e-4 of the known one, relative), keep its
# size (binary), header and, for binary STL, every header and attribute byte.
# Usage: bench/real_formats.sh KORVANE ROOT...
set -u
K=$1; shift
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
"$K" matrix make --rotate 1,2,3:37 --scale 1.25 --translate 0.5,-3,2 -o "$work/m.matrix" >/dev/null
pass=0; fail=0; refused=0
while IFS= read -r -d '' f; do
  ext=${f##*.}; ext=${ext,,}
  out="$work/moved.$ext"
  rm -f "$out"
  if ! err=$("$K" apply -q -m "$work/m.matrix" "$f" -o "$out" 2>&1); then
    echo "REFUSED $f: $err"; refused=$((refused + 1)); continue
  fi
  verdict=$(/usr/bin/python3 - "$K" "$f" "$out" "$work" <<'PY'
import json, subprocess, sys
k, src, out, work = sys.argv[1:]
r = subprocess.run([k, "calc", src, out, "--json", "-o", work + "/found.matrix"],
                   capture_output=True, text=True)
try:
    rep = json.loads(r.stdout)
except ValueError:
    print("calc failed: " + (r.stdout + r.stderr).strip().splitlines()[-1]); sys.exit()
a = open(src, "rb").read(); b = open(out, "rb").read()
problems = []
if a[:3] == b"ply":
    h = a.find(b"end_header") + 10
    if a[:h] != b[:h]: problems.append("header changed")
    if b"binary" in a[:h] and len(a) != len(b): problems.append("size changed")
elif len(a) > 84 and len(a) == 84 + 50 * int.from_bytes(a[80:84], "little"):  # binary STL
    if len(a) != len(b): problems.append("size changed")
    elif a[:84] != b[:84] or any(a[i:i + 2] != b[i:i + 2] for i in range(132, len(a), 50)):
        problems.append("header or attribute bytes changed")
read = lambda p: [[float(x) for x in l.split()] for l in open(p) if l.strip()]
found, want = read(work + "/found.matrix"), read(work + "/m.matrix")
off = max(abs(found[i][j] - want[i][j]) / (1 + abs(want[i][j])) for i in range(3) for j in range(4))
if rep.get("fits") and off > 1e-4:
    problems.append(("ambiguous, " if rep.get("ambiguous") else "") + "another motion (off by %.2g)" % off)
print(("fits " if rep.get("fits") else "NO FIT ") + " ".join(problems))
PY
)
  case $verdict in
    "fits ") pass=$((pass + 1)) ;;
    *) fail=$((fail + 1)); echo "FAIL $f: $verdict" ;;
  esac
done < <(find "$@" -type f \( -iname '*.stl' -o -iname '*.ply' \) -print0 | sort -z)
echo "moved and measured back: $pass; failed: $fail; refused: $refused"
