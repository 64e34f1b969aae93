#!/usr/bin/env bash
# Carving benchmark: a large image densely filled with real files, scanned by
# carvex, read by cat, and carved by PhotoRec, in the same run.
#   bench/carvex/run-bench.sh [SIZE_MIB] [WORKDIR]
# Needs the Debian packages of tools/packages.txt and testdisk (PhotoRec).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
mib=${1:-2048}
work=${2:-$top/build/carvex-bench}
build=$top/build/carvex-release
mkdir -p "$work"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSALVOR_TESTS=OFF -DSALVOR_BENCH=ON -DSALVOR_GUI=OFF >/dev/null
ninja -C "$build" -j2 carvex_bench >/dev/null
for v in 0 1 2 3 4 5 6 7 8 9; do
  [ -d "$work/pool/v$v" ] || bash "$top/tools/fixtures/carvex-media.sh" "$work/pool/v$v" "$v" 8 >/dev/null
done
img=$work/image.raw
"$build/bin/carvex_bench" make "$work/pool" "$img" "$mib" "$work/manifest.txt"
cat "$img" > /dev/null # warm the page cache so that every reader sees the same
echo "== cat"
/usr/bin/time -f "cat: %e s, %M KiB peak" cat "$img" > /dev/null
echo "== carvex"
/usr/bin/time -f "carvex_bench scan: %e s wall, %M KiB peak" "$build/bin/carvex_bench" scan "$img" "$work/manifest.txt"
echo "== photorec"
rm -rf "$work/photorec"
mkdir -p "$work/photorec" # PhotoRec stops at once when the parent of /d is missing
/usr/bin/time -o "$work/photorec.time" -f "photorec: %e s wall, %M KiB peak" photorec /log /d "$work/photorec/out" /cmd "$img" \
  partition_none,fileopt,everything,enable,search > "$work/photorec.log" 2>&1 || true
cat "$work/photorec.time"
"$build/bin/carvex_bench" check "$work/photorec" "$work/manifest.txt"
rm -f "$img"
rm -rf "$work/photorec"
