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

# One run: 0 passed, 1 failed, 2 the window never appeared.
attempt() {
  "$here/../../tools/wine-run" "$exe" 2>"$out/wine.log" &
  pid=$!
  # Polled rather than --sync: a search errors out when one of Wine's
  # short-lived windows goes away while it is being looked at.
  window=
  for _ in $(seq 240); do
    window=$(xdotool search --name "Korvani Dalmera" 2>/dev/null | head -1)
    [ -n "$window" ] && break
    kill -0 $pid 2>/dev/null || break
    sleep 0.25
  done
  if [ -z "$window" ]; then
    kill $pid 2>/dev/null; wait $pid 2>/dev/null
    echo "no window titled Korvani Dalmera; Wine said:"; tail -5 "$out/wine.log"
    return 2
  fi
  sleep 1
  /usr/bin/import -window root "$out/dialog.png"
  xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window" 2>/dev/null
  xdotool key --window "$window" Escape 2>/dev/null
  timeout 60 bash -c "while kill -0 $pid 2>/dev/null; do sleep 0.2; done"
  wait $pid
  code=$?
  echo "exit code $code; screenshot $out/dialog.png"
  [ "$code" -eq 0 ]
}

attempt
result=$?
if [ "$result" -eq 2 ]; then
  # The display or Wine's desktop was not ready: that is the environment,
  # not the installer. Said aloud, and tried once more.
  echo "retrying once"
  attempt
  result=$?
fi
[ "$result" -eq 0 ] && echo "1 passed, 0 failed" || { echo "0 passed, 1 failed"; exit 1; }
