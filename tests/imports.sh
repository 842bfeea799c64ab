#!/bin/bash
# Each installer given must be a GUI program that imports system DLLs only:
# the C++ runtime is linked in, so nothing from MinGW has to travel with it.
# Usage: imports.sh [--also DLL] INSTALLER...   (--also: one more allowed
# system library, such as advapi32 for a build with stack protection)
set -uo pipefail
allowed='kernel32|user32|advapi32|msvcrt'
if [ "${1:-}" = "--also" ]; then
  allowed="$allowed|$2"
  shift 2
fi
allowed="^($allowed)\.dll$"
failures=0
for exe in "$@"; do
  dump=$(x86_64-w64-mingw32-objdump -p "$exe") || { echo "FAIL $exe: unreadable"; failures=$((failures+1)); continue; }
  subsystem=$(grep -E '^Subsystem' <<<"$dump" | awk '{print $2}')
  if [ "$subsystem" != "00000002" ]; then
    echo "FAIL $exe: subsystem $subsystem, not Windows GUI (2)"; failures=$((failures+1))
  fi
  dlls=$(grep -E 'DLL Name:' <<<"$dump" | awk '{print tolower($3)}' | sort -u)
  for dll in $dlls; do
    if ! grep -qE "$allowed" <<<"$dll"; then
      echo "FAIL $exe imports $dll"; failures=$((failures+1))
    fi
  done
  format=$(grep -m1 'file format' <<<"$dump" | awk '{print $NF}')
  echo "$exe: $format; imports: $(echo $dlls)"
done
echo "$# installers checked, $failures problems"
[ "$failures" -eq 0 ]
