#!/bin/bash
# tools/mkinstaller: an installer around a given cabinet or around a folder,
# carrying the cabinet byte for byte; refusals leave nothing behind; the same
# folder gives the same bytes twice; a signed installer verifies, still
# carries its payload, and one changed byte breaks the signature; the
# version resource takes --version. The source tree stays untouched.
# The signed installer runs end to end in a real window (X11_PREFIX), and a
# name beyond ASCII comes out as it went in.
# Usage: mkinstaller.sh RESOURCES_TESTS.exe WORK_DIR MERVOLT.EXE X11_PREFIX
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$here/..
work=$2
mk=$repo/tools/mkinstaller
fail() { echo "FAIL: $*"; exit 1; }
carries() { "$repo/tools/wine-run" "$1" "--payload=$2" "$3" >/dev/null || fail "$3 does not carry $2"; }
rm -rf "$work"; mkdir -p "$work/files/sub" "$work/tmp"
export TMPDIR=$work/tmp
head -c 100000 /dev/urandom > "$work/files/random.bin"
echo "a file in a subfolder" > "$work/files/sub/b.txt"
echo "a name beyond ASCII, stored as UTF-8" > "$work/files/zażółć.txt"
python3 "$repo/tools/mkcab.py" "$work/any.cab" "$work/files"
before=$(cd "$repo" && git status --porcelain 2>/dev/null || true)
"$mk" --payload "$work/any.cab" --out "$work/any.exe" --arch x86_64
carries "$1" "$work/any.cab" "$work/any.exe"

# From a folder: the cabinet is the one the project's writer makes of it.
cp "$3" "$work/files/MERVOLT.EXE"
touch -d '2020-02-29 12:34:56' "$work/files/sub/b.txt"
chmod a-w "$work/files/random.bin"
"$mk" --from "$work/files" --out "$work/from.exe" --arch x86_64 --version 2.3.4.5 | tee "$work/from.txt"
grep -q '^payload: 4 files, ' "$work/from.txt" || fail "no summary"
python3 -c "
import sys; sys.path.insert(0, '$repo/tools'); import mkcab, argparse
o = argparse.Namespace(mszip=True, set_id=0x3D7B, index=0, prev=None, next=None, attribs={})
open('$work/from.cab', 'wb').write(mkcab.build(mkcab.collect_tree('$work/files'), o))"
carries "$1" "$work/from.cab" "$work/from.exe"
python3 - "$work/from.exe" <<'PY' || fail "version resource"
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.index(struct.pack('<I', 0xFEEF04BD))
ms, ls = struct.unpack_from('<II', data, at + 8)
assert (ms, ls) == (2 << 16 | 3, 4 << 16 | 5), (hex(ms), hex(ls))
assert '2.3.4.5'.encode('utf-16-le') in data
PY

# The same folder again, built elsewhere and later: the same bytes.
sleep 1
"$mk" --from "$work/files" --out "$work/again.exe" --arch x86_64 --version 2.3.4.5 >/dev/null
cmp -s "$work/from.exe" "$work/again.exe" || fail "two builds of the same folder differ"

# Refusals: one line, exit status 1, no output, no work folder left behind.
refuse() {
  local out=$work/refused.exe status=0
  "$mk" "$@" --out "$out" --arch x86_64 2>"$work/err.txt" >/dev/null || status=$?
  [ $status -eq 1 ] || fail "exit $status for $*"
  [ "$(wc -l <"$work/err.txt")" -eq 1 ] || fail "not one line for $*: $(cat "$work/err.txt")"
  [ ! -e "$out" ] && [ -z "$(ls -A "$work/tmp" | grep mkinstaller)" ] || fail "left behind for $*"
}
refuse --from "$work/files/sub"
refuse --from "$work/files" --version 1.2.3
refuse --from "$work/files" --version 1.2.3.65536
refuse --payload "$work/files/sub/b.txt"
for bad in 'CON' 'sub/nul.txt' 'tail.' 'żółw日本.txt'; do
  mkdir -p "$work/bad/sub"; cp "$work/any.exe" "$work/bad/MERVOLT.EXE"; echo x > "$work/bad/$bad"
  refuse --from "$work/bad"
  rm -rf "$work/bad"
done
mkdir -p "$work/big"; cp "$work/any.exe" "$work/big/MERVOLT.EXE"; truncate -s 4G "$work/big/huge.bin"
refuse --from "$work/big"
rm -rf "$work/big"

# Signed with a throw-away certificate, made here and never kept.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Test vendor" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/vendor.p12" -passout pass:test-pass
refuse --payload "$work/any.cab" --sign-pkcs12 "$work/vendor.p12"
TEST_SIGN_PASS=wrong refuse --payload "$work/any.cab" --sign-pkcs12 "$work/vendor.p12" --sign-pass-env TEST_SIGN_PASS
TEST_SIGN_PASS=test-pass "$mk" --from "$work/files" --out "$work/signed.exe" --arch x86_64 \
  --version 2.3.4.5 --sign-pkcs12 "$work/vendor.p12" --sign-pass-env TEST_SIGN_PASS >/dev/null
osslsigncode verify -in "$work/signed.exe" -CAfile "$work/cert.pem" >/dev/null 2>&1 || fail "signature"
carries "$1" "$work/from.cab" "$work/signed.exe"
WINEPREFIX=$4 WINE_GRAPHICS=x11 "$repo/tools/demo" "$work/signed.exe" "$work/demo" >"$work/demo.txt" 2>&1
grep -q '^exit code: 1$' "$work/demo.txt" && grep -q '^  program .*MERVOLT.EXE$' "$work/demo.txt" &&
  grep -q '^  file zażółć.txt ' "$work/demo.txt" &&
  grep -q '^left in the temporary folder: nothing$' "$work/demo.txt" || fail "the signed installer: $(cat "$work/demo.txt")"
python3 -c "
d = bytearray(open('$work/signed.exe', 'rb').read()); d[len(d) // 3] ^= 1
open('$work/changed.exe', 'wb').write(d)"
! osslsigncode verify -in "$work/changed.exe" -CAfile "$work/cert.pem" >/dev/null 2>&1 || fail "a changed byte verifies"

# How anyone checks a signed installer against the sources: the vendor's
# signature attached to one's own unsigned build gives the vendor's file.
osslsigncode extract-signature -in "$work/signed.exe" -out "$work/signature.der" >/dev/null
osslsigncode attach-signature -sigin "$work/signature.der" -in "$work/from.exe" \
  -out "$work/attached.exe" >/dev/null 2>&1 || true
cmp -s "$work/attached.exe" "$work/signed.exe" || fail "the signature does not fit one's own build"

after=$(cd "$repo" && git status --porcelain 2>/dev/null || true)
[ "$before" = "$after" ] || fail "the source tree changed"
chmod -R u+w "$work"
echo "mkinstaller: all checks passed"
