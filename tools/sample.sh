#!/usr/bin/env bash
# README command 1: installs what is missing, builds salvor-cli, makes the
# sample disk image and runs the main job on it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup-deps.sh
export PATH="$PATH:/usr/sbin:/sbin"
build=${SALVOR_BUILD:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSALVOR_TESTS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target salvor-cli
mkdir -p "$build/sample"
bash tools/fixtures/make-sample-disk.sh "$build/sample/sample-disk.img"
"$build/bin/salvor-cli" devices "$build/sample/sample-disk.img"
