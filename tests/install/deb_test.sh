#!/usr/bin/env bash
# Builds the Debian package of the build (cpack -G DEB) in a temporary
# folder, checks its declared dependencies and contents, and runs the
# salvor-cli it holds.
#   deb_test.sh BUILD_DIR GUI(ON|OFF) HAVE_SALVOR(1|0)
set -uo pipefail
build=$(cd "$1" && pwd)
gui=$2
have_salvor=${3:-1}
if ! command -v dpkg-deb >/dev/null; then
  echo "dpkg-deb is missing: no package to check"; exit 0
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/salvor-deb-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log"; echo "FAIL: cpack -G DEB"; exit 1
fi
deb=$(ls "$work"/out/salvor_*.deb 2>/dev/null | head -1)
[ -n "$deb" ] || { cat "$work/cpack.log"; echo "FAIL: no .deb written"; exit 1; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = salvor ] || fail "package name is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "architecture is '$(field Architecture)'"
depends=$(field Depends)
need=(libc6 libstdc++6)
if [ "$gui" = ON ]; then
  need+=(fonts-liberation adwaita-icon-theme qt6-qpa-plugins qt6-image-formats-plugins)
  [ "$have_salvor" = 1 ] && need+=(libqt6widgets6 libqt6gui6 libqt6core6)
fi
# Whole package names only (libqt6gui6 must not pass for libqt6gui6-gles).
names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/[[:space:]]//g')
for p in "${need[@]}"; do
  grep -qxF -- "$p" <<<"$names" || fail "Depends lacks $p: $depends"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
want=(./usr/bin/salvor-cli ./usr/lib/libblockgate.so ./usr/lib/libfsprobe.so ./usr/lib/libcarvex.so)
if [ "$gui" = ON ]; then
  [ "$have_salvor" = 1 ] && want+=(./usr/bin/salvor)
  want+=(./usr/share/applications/salvor.desktop ./usr/share/icons/hicolor/48x48/apps/salvor.png
         ./usr/share/salvor/image/mainbg.png ./usr/share/doc/salvor/user-guide.html)
fi
for f in "${want[@]}"; do
  grep -qx -- "$f" <<<"$contents" || fail "package lacks $f"
done

# What the package unpacks runs by itself.
dpkg-deb -x "$deb" "$work/root"
help=$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/salvor-cli" --help 2>&1); status=$?
[ $status -eq 0 ] || fail "packaged salvor-cli --help exited $status: $help"

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"; exit 1
fi
echo "$(basename "$deb"): $(du -k "$deb" | cut -f1) KiB; Depends: $depends"
