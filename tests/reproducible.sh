#!/bin/bash
# The same commit gives the same installer, byte for byte: the shipped i686
# installer is built again, from nothing, in another folder, and compared.
# Usage: reproducible.sh INSTALLER.exe WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$here/..
shipped=$1
work=$2
rm -rf "$work"
cmake -S "$repo" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_WERROR=ON >/dev/null
cmake --build "$work" --target installer >/dev/null
if ! cmp "$work/instalator.exe" "$shipped"; then
  echo "FAIL: two builds of the same sources differ"
  exit 1
fi
rm -rf "$work"
echo "reproducible: $(basename "$shipped") built again is the same, $(stat -c %s "$shipped") bytes"
