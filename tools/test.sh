#!/usr/bin/env bash
# README command 2: installs what is missing, builds everything with
# AddressSanitizer and UndefinedBehaviorSanitizer (clang, with the fuzz
# harnesses) and runs every test.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash tools/setup-deps.sh
export PATH="$PATH:/usr/sbin:/sbin"
build=${SALVOR_TEST_BUILD:-build/test}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DSALVOR_SANITIZE=ON -DSALVOR_FUZZ=ON -DSALVOR_TESTS=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$build"
ctest --output-on-failure -j "$(nproc)" "$@"
