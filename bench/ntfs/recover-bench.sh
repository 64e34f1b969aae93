#!/usr/bin/env bash
# Recovery benchmark: `salvor-cli recover deleted` beside `tsk_recover` on the
# same NTFS image of many deleted small files, in one run; then what recovery
# reads from its source against what it writes, for NTFS, FAT32, ext2, ext3
# and carved items (smaller images).
#   bench/ntfs/recover-bench.sh [FILES] [WORKDIR]
# FILES (default 100000) small files of 1 to 30 KiB in 1000 folders are written
# through ntfs-3g (FUSE, needs root) and then all deleted. Reads are counted by
# blockgate (BLOCKGATE_READ_LOG); "metadata" is what the scan alone reads.
# Needs ntfs-3g, sleuthkit, dosfstools, mtools, e2fsprogs (tools/packages.txt).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
files=${1:-100000}
work=${2:-$top/build/recover-bench}
build=${SALVOR_BENCH_BUILD:-$top/build/bench-release}
export PATH="$PATH:/usr/sbin:/sbin"
mkdir -p "$work"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSALVOR_TESTS=OFF -DSALVOR_BENCH=ON -DSALVOR_GUI=OFF >/dev/null
ninja -C "$build" -j2 salvor-cli >/dev/null
cli=$(find "$build" -name salvor-cli -type f -perm -u+x | head -1)
mnt=$(mktemp -d)
cleanup() {
    if mountpoint -q "$mnt"; then umount "$mnt" || fusermount -u "$mnt" || true; fi
    rmdir "$mnt" 2>/dev/null || true
}
trap cleanup EXIT

# Runs salvor-cli with its reads counted; the count goes to LOG:
# counted LOG ARGS...   and   bytes_of LOG  prints it.
counted() {
    local log=$1; shift
    rm -f "$log"
    BLOCKGATE_READ_LOG=$log "$cli" "$@"
}
bytes_of() { awk '/^bytes_read/ {print $2}' "$1"; }

# Reads of `recover MODE IMG` against the scan alone and the bytes written:
# ratio NAME "MODE ARGS" IMG
ratio() {
    local name=$1 mode=$2 img=$3 out=$work/out-ratio
    rm -rf "$out"
    local scan rec line written nfiles
    counted "$work/scan.log" scan $mode "$img" > /dev/null
    scan=$(bytes_of "$work/scan.log")
    counted "$work/rec.log" recover $mode "$img" --to "$out" > "$work/rec.out" 2>&1 || true
    rec=$(bytes_of "$work/rec.log")
    line=$(grep -o 'recovered [0-9]* files ([0-9]* bytes)' "$work/rec.out" | head -1)
    nfiles=$(echo "$line" | awk '{print $2}')
    written=$(echo "$line" | sed 's/.*(\([0-9]*\) bytes).*/\1/')
    rm -f "$work/scan.log" "$work/rec.log"
    python3 - "$name" "$scan" "$rec" "$nfiles" "$written" <<'PY'
import sys
name, scan, rec, n, w = sys.argv[1], *map(int, sys.argv[2:])
data = rec - scan
print(f"{name}: {n} files, {w} bytes written; scan reads {scan} (metadata), recover reads {rec}; "
      f"data path {data} = {data / max(w, 1):.3f} x written; recover / (written + metadata) = {rec / max(w + scan, 1):.3f}")
PY
    rm -rf "$out"
}

# --- NTFS: FILES deleted small files ---------------------------------------
img=$work/ntfs-recover.img
if [ ! -f "$img.done" ]; then
    rm -f "$img" "$img.done"
    truncate -s 3G "$img"
    mkntfs -q -F -Q -c 4096 "$img" >/dev/null 2>&1
    ntfs-3g "$img" "$mnt" -o big_writes
    start=$SECONDS
    python3 - "$mnt" "$files" "$work/ntfs-manifest.tsv" <<'PY'
import hashlib, os, random, sys
root, n, manifest = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rnd = random.Random(5)
pool = rnd.randbytes(1 << 20)
with open(manifest, "w") as man:
    for d in range(1000):
        os.mkdir(os.path.join(root, "d%03d" % d))
    for i in range(n):
        size = rnd.randrange(1024, 30 * 1024)
        at = rnd.randrange(0, len(pool) - size)
        data = i.to_bytes(4, "little") + pool[at:at + size - 4]
        name = "f%06d.bin" % i
        with open(os.path.join(root, "d%03d" % (i % 1000), name), "wb") as f:
            f.write(data)
        man.write("%s\t%d\t%s\n" % (name, size, hashlib.sha256(data).hexdigest()))
PY
    echo "wrote $files files through ntfs-3g in $((SECONDS - start)) s"
    start=$SECONDS
    find "$mnt" -type f -delete
    echo "deleted them in $((SECONDS - start)) s"
    umount "$mnt"
    touch "$img.done"
fi
cat "$img" > /dev/null # the same warm page cache for both tools

rm -rf "$work/out-salvor" "$work/out-tsk"
counted "$work/scan.log" scan deleted "$img" > /dev/null
scan=$(bytes_of "$work/scan.log")
echo "== salvor-cli recover deleted"
BLOCKGATE_READ_LOG=$work/rec.log /usr/bin/time -f "salvor-cli recover deleted: %e s wall, %M KiB peak" \
    "$cli" recover deleted "$img" --to "$work/out-salvor" | tail -1
rec=$(bytes_of "$work/rec.log")
echo "== tsk_recover"
/usr/bin/time -f "tsk_recover: %e s wall, %M KiB peak" tsk_recover "$img" "$work/out-tsk" | tail -1
python3 - "$work/ntfs-manifest.tsv" "$work/out-salvor" "$work/out-tsk" "$scan" "$rec" <<'PY'
import hashlib, os, sys
manifest, outs, scan, rec = sys.argv[1], sys.argv[2:4], int(sys.argv[4]), int(sys.argv[5])
want = {}
for line in open(manifest):
    name, size, sha = line.rstrip("\n").split("\t")
    want[name] = sha
for label, out in zip(("salvor", "tsk_recover"), outs):
    files = exact = written = 0
    for dirpath, _, names in os.walk(out):
        for n in names:
            p = os.path.join(dirpath, n)
            data = open(p, "rb").read()
            files += 1
            written += len(data)
            if want.get(n) == hashlib.sha256(data).hexdigest():
                exact += 1
    print(f"{label}: {files} files, {written} bytes; {exact} of {len(want)} deleted files byte-exact")
    if label == "salvor":
        print(f"salvor reads: scan {scan} (metadata), recover {rec} = {rec / max(written, 1):.3f} x written, "
              f"{rec / max(written + scan, 1):.3f} x (written + metadata)")
PY
rm -rf "$work/out-salvor" "$work/out-tsk" "$work/scan.log" "$work/rec.log"

# --- FAT32, ext2, ext3: smaller images of deleted small files ---------------
src=$work/smallfiles
rm -rf "$src"; mkdir -p "$src/dir"
python3 - "$src/dir" <<'PY'
import os, random, sys
rnd = random.Random(8)
for i in range(3000):
    open(os.path.join(sys.argv[1], "s%05d.bin" % i), "wb").write(rnd.randbytes(rnd.randrange(100, 60 * 1024)))
PY
fat=$work/fat32.img
rm -f "$fat"; truncate -s 512M "$fat"
mkfs.vfat -F 32 -s 8 "$fat" >/dev/null
MTOOLS_SKIP_CHECK=1 mcopy -s -i "$fat" "$src/dir" ::/
MTOOLS_SKIP_CHECK=1 mdel -i "$fat" '::/dir/*'
ratio fat32 deleted "$fat"
rm -f "$fat"
for t in ext2 ext3; do
    e=$work/$t.img
    rm -f "$e"
    mke2fs -q -F -t $t -b 4096 -d "$src" "$e" 512M
    # debugfs "kill_file" frees the inode and its blocks and keeps the pointers.
    debugfs -w "$e" -R "ls -l /dir" 2>/dev/null | awk '/s[0-9]+\.bin/ {print $1}' | sed 's/^/kill_file <&/; s/$/>/' > "$work/kill.cmds"
    debugfs -w -f "$work/kill.cmds" "$e" >/dev/null 2>&1
    ratio $t deleted "$e"
    rm -f "$e"
done
rm -rf "$src" "$work/kill.cmds"
