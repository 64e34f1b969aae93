#!/usr/bin/env bash
# Runs both NTFS benchmarks beside their reference tools, in one run.
# Usage: bench/ntfs/run.sh BUILD_DIR WORK_DIR   (BUILD_DIR configured with
# -DSALVOR_BENCH=ON; WORK_DIR needs about 3 GiB free; images are deleted).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
work=$2
bench=$build/bin/ntfs_bench
mkdir -p "$work"
trap 'rm -f "$work/mft.img" "$work/format.img"' EXIT

bash "$top/tools/fixtures/ntfs-bench.sh" mft "$work/mft.img"
echo "MFT records: $(( $(istat "$work/mft.img" 0 | sed -n 's/.*\$DATA (128-1).*size: \([0-9]*\).*/\1/p') / 1024 ))"
cat "$work/mft.img" > /dev/null
/usr/bin/time -f "fls -r -d: %e s, peak RSS %M KiB" fls -r -d "$work/mft.img" > /dev/null
"$bench" deleted "$work/mft.img"
"$bench" deleted "$work/mft.img"
rm -f "$work/mft.img"

bash "$top/tools/fixtures/ntfs-bench.sh" format "$work/format.img"
cat "$work/format.img" > /dev/null
for i in 1 2 3; do
    /usr/bin/time -f "cat IMAGE > /dev/null: %e s, peak RSS %M KiB" cat "$work/format.img" > /dev/null
    "$bench" format "$work/format.img"
done
