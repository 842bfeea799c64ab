#!/bin/bash
# The real installer in a real window under Xvfb: it shows its dialog, which
# is screenshot, and Escape ends it with exit code 0.
# Usage: smoke.sh INSTALLER.exe OUTPUT_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe=$1
out=$2
mkdir -p "$out"
if [ -z "${DISPLAY:-}" ] || [ -z "${INSIDE_XVFB:-}" ]; then
  INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
export WINE_GRAPHICS=x11
"$here/../../tools/wine-run" "$exe" &
pid=$!
window=$(timeout 60 xdotool search --sync --name "Korvani Dalmera" | head -1)
if [ -z "$window" ]; then
  echo "FAIL: no window titled Korvani Dalmera"; kill $pid; exit 1
fi
sleep 1
/usr/bin/import -window root "$out/dialog.png"
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
xdotool key --window "$window" Escape
timeout 60 bash -c "while kill -0 $pid 2>/dev/null; do sleep 0.2; done"
wait $pid
code=$?
echo "exit code $code; screenshot $out/dialog.png"
[ "$code" -eq 0 ] && echo "1 passed, 0 failed" || { echo "0 passed, 1 failed"; exit 1; }
