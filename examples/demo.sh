#!/usr/bin/env bash
# The main job on a real example: pack a small tree into a self-extracting
# file with corvane-sfx, list and test it, then extract it the way the stub
# would and compare the result with the original tree.
set -euo pipefail
cd "$(dirname "$0")/.."
tool=build/host/corvane-sfx
work=build/demo
rm -rf "$work"
mkdir -p "$work/tree/docs" "$work/tree/bin"
cp README.md "$work/tree/docs/README.TXT"
head -c 300000 /usr/bin/cmake >"$work/tree/bin/sample.bin"
printf 'echo hello\r\n' >"$work/tree/SETUP.BAT"

echo "== make"
(cd "$work/tree" && "../../../$tool" make -o ../demo.exe --method lh5 docs bin SETUP.BAT)
echo "== list"
"$tool" list "$work/demo.exe"
echo "== test"
"$tool" test "$work/demo.exe"
echo "== extract"
"$tool" extract "$work/demo.exe" -d "$work/out" </dev/null
diff -r "$work/tree" "$work/out" && echo "extracted tree matches the original"
