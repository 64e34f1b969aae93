#!/usr/bin/env bash
# Carving benchmark: a large image densely filled with real files (no file
# system: random bytes between them), scanned by carvex, read by cat, carved by
# PhotoRec and recovered by `salvor-cli recover raw`, in the same run; the
# files each tool gives back byte-exact, its wall time, and what salvor-cli
# reads from the image beside what it writes.
#   bench/carvex/run-bench.sh [SIZE_MIB] [WORKDIR]
# Needs the Debian packages of tools/packages.txt and testdisk (PhotoRec).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
mib=${1:-2048}
work=${2:-$top/build/carvex-bench}
build=${SALVOR_BENCH_BUILD:-$top/build/bench-release}
mkdir -p "$work"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSALVOR_TESTS=OFF -DSALVOR_BENCH=ON -DSALVOR_GUI=OFF >/dev/null
ninja -C "$build" -j2 carvex_bench salvor-cli >/dev/null
cli=$(find "$build" -name salvor-cli -type f -perm -u+x | head -1)
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
cd "$work" # PhotoRec writes its photorec.log into the current folder
/usr/bin/time -o "$work/photorec.time" -f "photorec: %e s wall, %M KiB peak" photorec /log /d "$work/photorec/out" /cmd "$img" \
  partition_none,fileopt,everything,enable,search > "$work/photorec.log" 2>&1 || true
cat "$work/photorec.time"
"$build/bin/carvex_bench" check "$work/photorec" "$work/manifest.txt"
rm -rf "$work/photorec"
echo "== salvor-cli recover raw"
rm -rf "$work/salvor" "$work/scan.log" "$work/rec.log"
BLOCKGATE_READ_LOG=$work/scan.log "$cli" scan raw "$img" > /dev/null
BLOCKGATE_READ_LOG=$work/rec.log /usr/bin/time -o "$work/salvor.time" -f "salvor-cli recover raw: %e s wall, %M KiB peak" \
  "$cli" recover raw "$img" --to "$work/salvor" > "$work/salvor.log" 2>&1 || true
cat "$work/salvor.time"
tail -1 "$work/salvor.log"
"$build/bin/carvex_bench" check-salvor "$work/salvor" "$work/manifest.txt" | tee "$work/salvor.check"
scan=$(awk '/^bytes_read/ {print $2}' "$work/scan.log")
rec=$(awk '/^bytes_read/ {print $2}' "$work/rec.log")
written=$(sed -n 's/.*files, \([0-9]*\) bytes written.*/\1/p' "$work/salvor.check")
python3 -c "import sys; s,r,w=map(int,sys.argv[1:]); print(f'salvor-cli reads: scan {s}, recover {r}; carved items read {r-s} = {(r-s)/max(w,1):.3f} x the {w} bytes written')" \
  "$scan" "$rec" "$written"
rm -rf "$work/salvor" "$work/scan.log" "$work/rec.log"
rm -f "$img"
