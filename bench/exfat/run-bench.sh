#!/usr/bin/env bash
# exFAT benchmark: exfat_search on a 2 GiB exFAT volume with 50,000 files
# (250 folders of 200, 50 folders deleted: 10,000 deleted files) beside
# fls -r -d on the same image, then the read of every deleted file, and
# salvor-cli recover deleted beside tsk_recover (both write the files out).
#   bench/exfat/run-bench.sh [WORKDIR]
# Needs exfatprogs and sleuthkit. The image is deleted afterwards.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$top/build/exfat-bench}
build=$top/build/exfat-release
export LC_ALL=C.UTF-8 PATH="$PATH:/usr/sbin:/sbin"
mkdir -p "$work"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSALVOR_TESTS=OFF -DSALVOR_BENCH=ON -DSALVOR_GUI=OFF >/dev/null
ninja -C "$build" -j2 exfat_bench salvor-cli >/dev/null

img=$work/entries.img
rm -f "$img"
truncate -s 2G "$img"
mkfs.exfat -c 4096 -L ENTRIES "$img" >/dev/null
"$build/bin/exfat_bench" fill "$img"
cat "$img" > /dev/null # warm the page cache so both readers see the same
echo "== deleted search, 50,000 files, 2 GiB"
for pass in 1 2; do
  /usr/bin/time -f "fls -r -d: %e s" fls -r -d "$img" > "$work/fls.txt"
  "$build/bin/exfat_bench" deleted "$img"
done
echo "fls lines: $(wc -l < "$work/fls.txt")"
echo "== recovery of the deleted files, written out"
rm -rf "$work/recovered" "$work/salvor"
/usr/bin/time -f "tsk_recover: %e s" tsk_recover "$img" "$work/recovered" | tail -1
/usr/bin/time -f "salvor-cli recover deleted: %e s" "$build/bin/salvor-cli" recover deleted "$img" --to "$work/salvor" | tail -1
echo "files written: tsk_recover $(find "$work/recovered" -type f | wc -l), salvor-cli $(find "$work/salvor" -type f | wc -l)"
rm -rf "$work/recovered" "$work/salvor"
rm -f "$img"
