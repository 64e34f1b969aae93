#!/usr/bin/env bash
# The installed program (cmake --install into a temporary root) on an X
# server: it finds its libraries and its skin images under the prefix and
# closes from its close button.
#   installed_window_test.sh BUILD_DIR SOURCE_DIR
set -uo pipefail
build=$1
source=$2
if ! command -v xvfb-run >/dev/null; then
  echo "SKIP: xvfb-run is not installed (Debian package xvfb)"
  exit 77
fi
root=$(mktemp -d "${TMPDIR:-/tmp}/salvor-installed-XXXXXX")
trap 'rm -rf "$root"' EXIT
if ! DESTDIR="$root" cmake --install "$build" --prefix /usr >"$root/install.log" 2>&1; then
  cat "$root/install.log"; echo "FAIL: cmake --install"; exit 1
fi
exec bash "$(dirname "$0")/xvfb_close_test.sh" "$root/usr/bin/salvor" "$source/assets/image/mainbg.png"
