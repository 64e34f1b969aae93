#!/usr/bin/env bash
# README command 1: installs what is missing, builds salvor-cli and the
# desktop program salvor, makes the sample disk image (an NTFS and a FAT32
# volume, each with deleted files), lists it and recovers the deleted files
# of its volumes into a fresh folder.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup-deps.sh
export PATH="$PATH:/usr/sbin:/sbin"
build=${SALVOR_BUILD:-build/release}
# clang, as the test build uses: the whole tree is kept warning-free with it.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSALVOR_TESTS=OFF -DSALVOR_GUI=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
# Everything: salvor-cli, salvor, the skin images and the user guide beside them.
cmake --build "$build" -j "$(nproc)"
mkdir -p "$build/sample"
image="$build/sample/sample-disk.img"
bash tools/fixtures/make-sample-disk.sh "$image"
cli="$build/bin/salvor-cli"
"$cli" devices "$image"
out=$(mktemp -d "${TMPDIR:-/tmp}/salvor-sample-XXXXXX")
echo
echo "== deleted files of the NTFS volume (volume 0) =="
"$cli" scan deleted --volume 0 "$image"
"$cli" recover deleted --volume 0 "$image" --to "$out/ntfs"
echo
echo "== deleted files of the FAT32 volume (volume 1) =="
"$cli" scan deleted --volume 1 "$image"
"$cli" recover deleted --volume 1 "$image" --to "$out/fat32"
echo
echo "recovered into $out:"
(cd "$out" && find . -type f | sort | xargs sha256sum)
if [ -x "$build/bin/salvor" ]; then
  echo
  echo "the desktop program on the same disk image:"
  echo "  $build/bin/salvor $image"
fi
