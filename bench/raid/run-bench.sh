#!/usr/bin/env bash
# RAID benchmark: sequential read of a 4-member RAID 5 virtual volume (left
# symmetric, 64 KiB stripes) against cat of the members' total bytes, then
# with one member missing (its stripes rebuilt from parity).
#   bench/raid/run-bench.sh [WORKDIR] [MIB]      (default 1536 MiB of data)
# The member files are deleted afterwards. Both readers see a warm page cache.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
work=${1:-$top/build/raid-bench}
mib=${2:-1536}
build=$top/build/raid-release
mkdir -p "$work"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSALVOR_TESTS=OFF -DSALVOR_BENCH=ON -DSALVOR_GUI=OFF >/dev/null
ninja -C "$build" -j2 raid_bench >/dev/null

rm -f "$work"/member-*.img
"$build/bin/raid_bench" make "$work" "$mib"
members=("$work"/member-*.img)
cat "${members[@]}" > /dev/null # warm the page cache
echo "== $mib MiB of data over 4 members ($(du -cb "${members[@]}" | tail -1 | cut -f1) bytes of members)"
for pass in 1 2; do
  /usr/bin/time -f "cat of the members: %e s" cat "${members[@]}" > /dev/null
  "$build/bin/raid_bench" read "$work"
  "$build/bin/raid_bench" read "$work" 1
done
rm -f "${members[@]}"
