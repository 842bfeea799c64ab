#!/bin/bash
# tools/mkinstaller builds an installer around a cabinet given on the command
# line, which then carries it byte for byte; the source tree stays untouched.
# Usage: mkinstaller.sh RESOURCES_TESTS.exe WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$here/..
work=$2
rm -rf "$work"; mkdir -p "$work/files/sub"
head -c 100000 /dev/urandom > "$work/files/random.bin"
echo "a file in a subfolder" > "$work/files/sub/b.txt"
python3 "$repo/tools/mkcab.py" "$work/any.cab" "$work/files"
before=$(cd "$repo" && git status --porcelain 2>/dev/null || true)
"$repo/tools/mkinstaller" --payload "$work/any.cab" --out "$work/any.exe" --arch x86_64
after=$(cd "$repo" && git status --porcelain 2>/dev/null || true)
[ "$before" = "$after" ] || { echo "FAIL: the source tree changed"; exit 1; }
"$repo/tools/wine-run" "$1" "--payload=$work/any.cab" "$work/any.exe"
