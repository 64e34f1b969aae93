#!/usr/bin/env bash
# Starts the real program on an X server (Xvfb, Qt's xcb platform), finds its
# window, clicks its close button and checks the exit status: the main
# dialog's result 6000, which the process exit status carries as
# 6000 & 0xff = 112.
#   xvfb_close_test.sh SALVOR_EXECUTABLE
# Exit 77 (a skip for ctest) only when xvfb-run is not installed.
set -uo pipefail
salvor=$1
export PATH="$PATH:/usr/sbin:/sbin"

if ! command -v xvfb-run >/dev/null; then
  echo "SKIP: xvfb-run is not installed (Debian package xvfb)"
  exit 77
fi
for tool in xdotool xwininfo; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (tools/packages.txt)"; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/salvor-xvfb-XXXXXX")
trap 'rm -rf "$work"' EXIT
# A lock and temporary folder of its own, so that a copy running elsewhere
# on this machine does not turn this start into a second instance.
mkdir -m 700 "$work/run" "$work/tmp"

# A small bare file-system image as the program's argument, as a user names one.
image=$work/card.img
truncate -s 4M "$image"
if command -v mkfs.vfat >/dev/null; then mkfs.vfat -F 16 -n CARD "$image" >/dev/null; fi

cat > "$work/inner.sh" <<'INNER'
#!/usr/bin/env bash
set -uo pipefail
salvor=$1 image=$2
"$salvor" "$image" > "$WORK/salvor.log" 2>&1 &
pid=$!
wid=""
for _ in $(seq 1 300); do
  wid=$(xdotool search --onlyvisible --pid "$pid" --name '^salvor$' 2>/dev/null | head -1)
  [ -n "$wid" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$wid" ]; then
  echo "FAIL: no visible window titled 'salvor' within 30 s"
  xwininfo -root -tree | head -40
  kill "$pid" 2>/dev/null; wait "$pid"
  cat "$WORK/salvor.log"
  exit 1
fi
eval "$(xdotool getwindowgeometry --shell "$wid")" # X Y WIDTH HEIGHT
echo "window $wid at ($X, $Y), $WIDTH x $HEIGHT"
xwininfo -id "$wid" | grep -E 'Absolute|Width|Height|Map State'
# The close button's image is at (w - 43, 3) of the client area; press it
# a little inside its top-left corner, after moving there (hover) first.
cx=$((X + WIDTH - 43 + 10))
cy=$((Y + 3 + 10))
sleep 0.5 # let the first paint finish
xdotool mousemove --sync "$cx" "$cy"
sleep 0.2
xdotool click 1
status=""
for _ in $(seq 1 200); do
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid"; status=$?
    break
  fi
  sleep 0.1
done
if [ -z "$status" ]; then
  echo "FAIL: the program did not end within 20 s of the click at ($cx, $cy)"
  kill "$pid" 2>/dev/null; wait "$pid"
  cat "$WORK/salvor.log"
  exit 1
fi
if [ "$status" -ne $((6000 & 255)) ]; then
  echo "FAIL: exit status $status, expected $((6000 & 255)) (6000 & 0xff)"
  cat "$WORK/salvor.log"
  exit 1
fi
echo "closed from its close button: exit status $status (6000 & 0xff)"
INNER

# Leaks of the X libraries are not this test's business (the offscreen
# tests check ours).
WORK=$work XDG_RUNTIME_DIR=$work/run TMPDIR=$work/tmp QT_QPA_PLATFORM=xcb \
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
  xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash "$work/inner.sh" "$salvor" "$image"
status=$?
leftover=$(find "$work/tmp" -type f 2>/dev/null | head -5)
if [ $status -eq 0 ] && [ -n "$leftover" ]; then
  echo "FAIL: files left in the temporary folder: $leftover"
  exit 1
fi
exit $status
