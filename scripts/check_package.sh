#!/usr/bin/env bash
# Checks the Windows ZIP that `cmake --build --preset windows --target package`
# wrote: exactly the files it should hold, the DLL and the host byte for byte
# the tested ones, every licence text of cmake/licenses.cmake as on this
# machine; and, where Wine is present, that korvane.exe runs from the unpacked
# folder with nothing else beside it.
# Usage: check_package.sh [BUILD_DIR=build/windows]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/windows}
version=$(sed -n 's/^project(Korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
top=Korvane-$version-win64
zip=$build/$top.zip
[ -f "$zip" ] || { echo "no package: $zip"; exit 1; }

expected=("$top/Korvane.dll" "$top/korvane.exe" "$top/README.md"
          "$top/include/korvane/korvane.h" "$top/include/korvane/version.h")
declare -A licence_source=()
while IFS='=' read -r name path; do
  expected+=("$top/licenses/$name")
  licence_source[$name]=$path
done < <(sed -n 's/^ *"\([^"=]*\)=\([^"]*\)".*/\1=\2/p' cmake/licenses.cmake)
[ ${#licence_source[@]} -ge 6 ] || { echo "cmake/licenses.cmake lists too few texts"; exit 1; }

actual=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$actual" != "$wanted" ]; then
  echo "the package holds:"; echo "$actual"; echo "it should hold:"; echo "$wanted"
  exit 1
fi

same() {  # same MEMBER FILE
  unzip -p "$zip" "$top/$1" | cmp -s - "$2" || { echo "$1 in the package differs from $2"; exit 1; }
}
same Korvane.dll "$build/bin/Korvane.dll"
same korvane.exe "$build/bin/korvane.exe"
same README.md README.md
same include/korvane/korvane.h include/korvane/korvane.h
for name in "${!licence_source[@]}"; do
  [ -s "${licence_source[$name]}" ] || { echo "empty licence text ${licence_source[$name]}"; exit 1; }
  same "licenses/$name" "${licence_source[$name]}"
done

if command -v wine >/dev/null; then
  unpacked=$(mktemp -d)
  trap 'rm -rf "$unpacked"' EXIT
  unzip -q "$zip" -d "$unpacked"
  got=$(cd "$unpacked/$top" && wine korvane.exe --version 2>/dev/null | tr -d '\r')
  [ "$got" = "korvane $version" ] || { echo "korvane.exe from the package said: $got"; exit 1; }
  # A Wine desktop started here, without a display, would serve later runs
  # that need one: wait until this run's wine server has gone.
  wineserver -w
fi
echo "package: $zip holds ${#expected[@]} files; Korvane.dll and korvane.exe are the tested builds"
