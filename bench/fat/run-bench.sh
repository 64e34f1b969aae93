#!/usr/bin/env bash
# FAT benchmarks, each beside its reference in the same run:
#   1. fat_fmtRec_search on a 2 GiB reformatted FAT32 image vs cat IMAGE > /dev/null
#   2. fat_searchfile on a FAT32 volume with 50,000 directory entries vs fls -r -d
#   3. fat_searchfile on a 2 GiB FAT32 card, mostly free space over old random
#      data (the pass over the free clusters reads all of it) vs cat IMAGE
#   bench/fat/run-bench.sh [WORKDIR]
# Needs dosfstools, mtools and sleuthkit. The images are deleted afterwards.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$top/build/fat-bench}
build=$top/build/fat-release
export LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 PATH="$PATH:/usr/sbin:/sbin"
mkdir -p "$work"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSALVOR_TESTS=OFF -DSALVOR_BENCH=ON -DSALVOR_GUI=OFF >/dev/null
ninja -C "$build" -j2 fat_bench >/dev/null

# 1. A 2 GiB card full of old data, holding a folder tree, formatted again.
img=$work/format.img
rm -f "$img"
head -c $((2048 * 1024 * 1024)) /dev/urandom > "$img"
mkfs.vfat -F 32 -s 8 -n OLDCARD "$img" >/dev/null
src=$work/src
rm -rf "$src"
mkdir -p "$src/DCIM/100CANON" "$src/Music/Album"
for i in $(seq 1 200); do head -c 30000 /dev/urandom > "$src/DCIM/100CANON/IMG_$i.JPG"; done
for i in $(seq 1 20); do head -c 100000 /dev/urandom > "$src/Music/Album/track $i.mp3"; done
mcopy -s -i "$img" "$src/DCIM" "$src/Music" ::/
mkfs.vfat -F 32 -s 8 -n NEWCARD "$img" >/dev/null
cat "$img" > /dev/null # warm the page cache so both readers see the same
echo "== format recovery, 2 GiB"
for pass in 1 2; do
  /usr/bin/time -f "cat: %e s" cat "$img" > /dev/null
  "$build/bin/fat_bench" format "$img"
done
rm -f "$img"

# 2. 50,000 directory entries: 250 folders of 200 files, a fifth deleted.
img=$work/entries.img
rm -f "$img" && rm -rf "$src"
mkdir -p "$src/tree"
for d in $(seq 1 250); do
  mkdir -p "$src/tree/folder $d"
  (cd "$src/tree/folder $d" && touch $(seq -f "file %g.txt" 1 200 | tr ' ' '_'))
done
mkfs.vfat -C -F 32 -n ENTRIES "$img" $((256 * 1024)) >/dev/null
mcopy -s -i "$img" "$src/tree" ::/
for d in $(seq 1 50); do mdeltree -i "$img" "::/tree/folder $d"; done
echo "== deleted search, 50,000 entries"
for pass in 1 2; do
  /usr/bin/time -f "fls -r -d: %e s" fls -r -d "$img" > "$work/fls.txt"
  "$build/bin/fat_bench" deleted "$img"
done
echo "fls lines: $(wc -l < "$work/fls.txt")"
rm -f "$img"
rm -rf "$src"

# 3. A 2 GiB card over old random data: a few folders, one of 400 files
#    deleted. The deleted search reads every free cluster once after its walk.
img=$work/free.img
rm -f "$img" && rm -rf "$src"
head -c $((2048 * 1024 * 1024)) /dev/urandom > "$img"
mkfs.vfat -F 32 -s 8 -n FREECARD "$img" >/dev/null
mkdir -p "$src/DCIM/100CANON" "$src/Old Folder"
for i in $(seq 1 200); do head -c 30000 /dev/urandom > "$src/DCIM/100CANON/IMG_$i.JPG"; done
(cd "$src/Old Folder" && for i in $(seq 1 400); do echo "$i" > "an old file with a long name $i.txt"; done)
mcopy -s -i "$img" "$src/DCIM" "$src/Old Folder" ::/
mdeltree -i "$img" "::/Old Folder"
cat "$img" > /dev/null
echo "== deleted search with the free-cluster pass, 2 GiB"
for pass in 1 2; do
  /usr/bin/time -f "cat: %e s" cat "$img" > /dev/null
  "$build/bin/fat_bench" deleted "$img"
done
rm -f "$img"
rm -rf "$src"
