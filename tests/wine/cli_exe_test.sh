#!/usr/bin/env bash
# korvane.exe under Wine: help and usage statuses, and a batch replay with a
# failing file, compared byte for byte with runs of one file each.
# Usage: cli_exe_test.sh KORVANE_EXE
set -euo pipefail
exe=$(realpath "$1")
gltf=$(realpath "$(dirname "$0")/../gltf")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
korvane() { wine "$exe" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
fail() { echo "FAILED: $*"; exit 1; }

[ "$(korvane --version)" = "korvane 0.1.1" ] || fail "--version"
out=$(korvane calc --help) || fail "calc --help status"
grep -q "Usage: korvane calc \[OPTIONS\] BASE.obj MOVED.obj" <<<"$out" || fail "calc --help: $out"
status=0; out=$(korvane aply -m m.matrix a.obj -o b.obj) || status=$?
[ "$status" = 2 ] && grep -q "did you mean 'apply'?" <<<"$out" || fail "typo: $status $out"
# Twelve digits overflow a 32-bit unsigned long, which Windows' is.
status=0; out=$(korvane apply -j 99999999999 -m m.matrix a.obj -o b.obj) || status=$?
[ "$status" = 2 ] && grep -q "'99999999999' is not a whole number" <<<"$out" || fail "-j overflow: $status $out"

printf '0 -1 0 1\n1 0 0 2\n0 0 1 3\n0 0 0 1\n' >m.matrix
for i in 1 2 3 4; do
  { echo "# mesh $i"; for k in $(seq 1 200); do echo "v $k.5 -$i.25 $((k * i))e-2"; done; echo "f 1 2 3"; } >"in$i.obj"
done
printf 'v 1 2 3\nv 4 x 6\n' >bad.obj
mkdir out single
# An input by its absolute path: "/..." is a path, not a Windows-style option.
status=0; out=$(korvane apply -j 2 --json -m m.matrix "$work/in1.obj" in2.obj bad.obj in3.obj in4.obj -o out) || status=$?
[ "$status" = 1 ] || fail "batch status $status: $out"
grep -q "1 of 5 files failed" <<<"$out" || fail "failure list: $out"
grep -q "bad.obj line 2: 'x' is not a number" <<<"$out" || fail "failure message: $out"
grep -q '"vertices": 200' <<<"$out" || fail "JSON summary: $out"
[ ! -e out/bad.obj ] || fail "out/bad.obj written"
for i in 1 2 3 4; do
  korvane apply -j 1 -q -m m.matrix "in$i.obj" -o "single/in$i.obj" >/dev/null || fail "single run $i"
  cmp -s "out/in$i.obj" "single/in$i.obj" || fail "in$i.obj: batch and single run differ"
done
# (x, y, z) -> (1 - y, x + 2, z + 3), six decimals, a space, CR LF.
[ "$(sed -n 2p out/in1.obj)" = $'v 2.250000 3.500000 3.010000 \r' ] || fail "vertex: $(sed -n 2p out/in1.obj)"
[ "$(grep -c $'\r$' out/in1.obj)" = "$(wc -l <out/in1.obj)" ] || fail "not every line ends in CR LF"
# Outputs: never an input (names differing in case are one file), "-" is
# standard output byte for byte, a read-only file is replaced only with --force.
cp in1.obj keep.obj
for args in "calc in1.obj in2.obj -o in1.obj" "apply -m m.matrix in1.obj -o IN1.OBJ"; do
  status=0; out=$(korvane $args) || status=$?
  [ "$status" = 2 ] && grep -q "is the same file as" <<<"$out" || fail "$args: $status $out"
done
cmp -s in1.obj keep.obj || fail "in1.obj changed"
wine "$exe" apply -m m.matrix in1.obj -o - >stdout.obj 2>/dev/null || fail "-o -"
cmp -s stdout.obj single/in1.obj || fail "-o - differs from the file written"
cp in1.obj ro.obj && chmod 444 ro.obj
status=0; out=$(korvane apply -m m.matrix in2.obj -o ro.obj) || status=$?
[ "$status" = 2 ] && grep -q "is read-only (--force" <<<"$out" || fail "read-only: $status $out"
cmp -s ro.obj in1.obj || fail "read-only file changed"
korvane apply -q --force -m m.matrix in2.obj -o ro.obj >/dev/null || fail "--force"
cmp -s ro.obj single/in2.obj || fail "--force did not replace it"
[ -z "$(ls -A | grep '^\.~kv')" ] || fail "temporary file left"
# Replay warnings, --strict, --digits and --normals as the Linux build gives them.
printf 'v 0 0 0\nv\t1\t2\t3\nv 1,5 2 3\nvn 0 0 1\nf 1 2 3\n' >warn.obj
out=$(korvane apply --json -m m.matrix warn.obj -o warned.obj) || fail "warnings: $out"
for kind in not_a_vertex_line trailing_text normals_not_turned; do
  grep -q "\"kind\": \"$kind\"" <<<"$out" || fail "warning $kind missing: $out"
done
status=0; out=$(korvane apply --strict -m m.matrix warn.obj -o strict.obj) || status=$?
[ "$status" = 1 ] && [ ! -e strict.obj ] && grep -q "warn.obj line 2" <<<"$out" || fail "--strict: $status $out"
korvane apply -q --digits shortest --normals -m m.matrix warn.obj -o styled.obj >/dev/null || fail "styled"
[ "$(tr -d '\r' <styled.obj)" = $'v 1 2 3 \nv\t1\t2\t3 \nv -1 3 6 \nvn 0 0 1 \nf 1 2 3 ' ] ||
  fail "--digits shortest --normals: $(cat styled.obj)"
# glTF (tinygltf in korvane.exe): Blender's .gltf with its .bin, baked and into the nodes,
# each measured back; the moved buffer is written beside the output, the input's kept.
cp "$gltf"/parts.gltf "$gltf"/parts.bin .
korvane apply -q -m m.matrix parts.gltf -o baked.gltf >/dev/null || fail "glTF baked"
korvane apply -q --gltf-nodes -m m.matrix parts.gltf -o nodes.gltf >/dev/null || fail "glTF nodes"
cmp -s parts.bin "$gltf"/parts.bin && [ -e baked.bin ] && [ ! -e nodes.bin ] || fail "glTF buffers"
for moved in baked.gltf nodes.gltf; do
  out=$(korvane calc --fit least-squares parts.gltf $moved -o $moved.matrix) || fail "glTF $moved: $out"
done
echo "korvane.exe: help, usage statuses, a batch of 5 files, glTF, and the outputs under Wine"
