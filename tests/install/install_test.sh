#!/usr/bin/env bash
# Installs the build into a temporary root (DESTDIR, prefix /usr as the
# package does) and checks that the installed tree is complete and runs from
# its own files, not from the build folder.
#   install_test.sh BUILD_DIR GUI(ON|OFF) [HAVE_SALVOR(1|0)]
set -uo pipefail
build=$1
SALVOR_SOURCE_DIR=${SALVOR_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
gui=$2
have_salvor=${3:-1}
root=$(mktemp -d "${TMPDIR:-/tmp}/salvor-install-XXXXXX")
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! DESTDIR="$root" cmake --install "$build" --prefix /usr >"$root.log" 2>&1; then
  cat "$root.log"; rm -f "$root.log"
  echo "FAIL: cmake --install"; exit 1
fi
rm -f "$root.log"
usr=$root/usr

want=(bin/salvor-cli lib/libblockgate.so lib/libfsprobe.so lib/libcarvex.so)
if [ "$gui" = ON ]; then
  [ "$have_salvor" = 1 ] && want+=(bin/salvor)
  want+=(
         share/salvor/image/mainbg.png share/salvor/image/mainbgsel.png share/salvor/image/mainbgscan.png
         share/salvor/image/close.png share/salvor/image/loading.png
         share/doc/salvor/user-guide.html share/doc/salvor/user-guide.md
         share/applications/salvor.desktop
         share/icons/hicolor/48x48/apps/salvor.png share/icons/hicolor/16x16/apps/salvor.png)
fi
for f in "${want[@]}"; do
  [ -s "$usr/$f" ] || fail "missing $f"
done
# Nothing of the tests or the fuzz harnesses is installed.
extra=$(find "$usr/bin" -type f ! -name salvor ! -name salvor-cli -printf '%f ')
[ -z "$extra" ] || fail "unexpected programs installed: $extra"

# Every skin image of the source tree is installed.
if [ "$gui" = ON ]; then
  for img in "${SALVOR_SOURCE_DIR}"/assets/image/*; do
    [ -f "$usr/share/salvor/image/$(basename "$img")" ] || fail "skin image $(basename "$img") not installed"
  done
  # Every picture the guide shows is installed beside it.
  html=$usr/share/doc/salvor/user-guide.html
  if [ -f "$html" ]; then
    grep -q '<h1' "$html" || fail "user-guide.html has no title"
    for src in $(grep -o '<img src="[^"]*"' "$html" | sed 's/<img src="//; s/"$//'); do
      [ -f "$usr/share/doc/salvor/$src" ] || fail "the guide shows $src, which is not installed"
    done
  fi
  desktop=$usr/share/applications/salvor.desktop
  if [ -f "$desktop" ]; then
    grep -qx 'Exec=salvor %F' "$desktop" || fail "salvor.desktop does not start salvor"
    grep -qx 'Icon=salvor' "$desktop" || fail "salvor.desktop names another icon"
    if command -v desktop-file-validate >/dev/null; then
      desktop-file-validate "$desktop" || fail "desktop-file-validate"
    fi
  fi
fi

# The installed programs find the installed libraries through $ORIGIN/../lib
# and carry no path into the build folder.
for exe in "$usr/bin/salvor-cli" "$usr/bin/salvor" "$usr"/lib/*.so; do
  [ -f "$exe" ] || continue
  runpath=$(readelf -d "$exe" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  case "$runpath" in
    *"$build"*|*"$(cd "$build" && pwd)"*) fail "$(basename "$exe") keeps the build folder in its run path: $runpath" ;;
  esac
  [ "$runpath" = '$ORIGIN/../lib' ] || fail "$(basename "$exe") run path is '$runpath'"
done
if [ -f "$usr/bin/salvor-cli" ]; then
  resolved=$(env -u LD_LIBRARY_PATH ldd "$usr/bin/salvor-cli" | awk '/libblockgate|libfsprobe|libcarvex/ {print $3}')
  for lib in $resolved; do
    case "$lib" in
      "$usr/bin/../lib/"*|"$usr/lib/"*) ;;
      *) fail "installed salvor-cli loads $lib" ;;
    esac
  done
  [ -n "$resolved" ] || fail "ldd shows none of the project's libraries"

  # The installed command runs (from its own libraries, as ldd showed).
  help=$(env -u LD_LIBRARY_PATH "$usr/bin/salvor-cli" --help 2>&1); status=$?
  [ $status -eq 0 ] || fail "installed salvor-cli --help exited $status: $help"
  case "$help" in
    *devices*recover*|*recover*devices*) ;;
    *) fail "installed salvor-cli --help says: $help" ;;
  esac
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "installed tree complete ($(find "$usr" -type f | wc -l) files)"
