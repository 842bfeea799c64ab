#!/bin/bash
# mkinstaller/mkinstaller: an installer around a given cabinet or around a folder,
# carrying the cabinet byte for byte; refusals leave nothing behind; the same
# folder gives the same bytes twice; a signed installer verifies, still
# carries its payload, and one changed byte breaks the signature; the
# version resource takes --version, as an independent reader of PE files
# reads it; a stub that is missing, of another architecture or not this
# project's is refused. The source tree stays untouched.
# The signed installer runs end to end in a real window (X11_PREFIX), and a
# name beyond ASCII comes out as it went in.
# Usage: mkinstaller.sh RESOURCES_TESTS.exe WORK_DIR MERVOLT.EXE X11_PREFIX
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
repo=$here/..
work=$2
mk=$repo/mkinstaller/mkinstaller
fail() { echo "FAIL: $*"; exit 1; }
carries() { "$repo/tools/wine-run" "$1" "--payload=$2" "$3" >/dev/null || fail "$3 does not carry $2"; }
rm -rf "$work"; mkdir -p "$work/files/sub" "$work/tmp"
export TMPDIR=$work/tmp
head -c 100000 /dev/urandom > "$work/files/random.bin"
echo "a file in a subfolder" > "$work/files/sub/b.txt"
echo "a name beyond ASCII, stored as UTF-8" > "$work/files/zażółć.txt"
python3 "$repo/mkinstaller/mkcab.py" "$work/any.cab" "$work/files"
before=$(cd "$repo" && git status --porcelain 2>/dev/null || true)
"$mk" --payload "$work/any.cab" --out "$work/any.exe" --arch x86_64
carries "$1" "$work/any.cab" "$work/any.exe"

# From a folder: the cabinet it carries holds the folder's files, as an
# independent reader unpacks them.
cp "$3" "$work/files/MERVOLT.EXE"
touch -d '2020-02-29 12:34:56' "$work/files/sub/b.txt"
chmod a-w "$work/files/random.bin"
"$mk" --from "$work/files" --out "$work/from.exe" --arch x86_64 --version 2.3.4.5 | tee "$work/from.txt"
grep -q '^payload: 4 files, ' "$work/from.txt" || fail "no summary"
python3 "$repo/mkinstaller/stubsize.py" --payload "$work/from.exe" "$work/from.cab"
carries "$1" "$work/from.cab" "$work/from.exe"
cabextract -q -d "$work/unpacked" "$work/from.cab" && diff -r "$work/files" "$work/unpacked" >/dev/null ||
  fail "the payload does not unpack to the folder"
rm -rf "$work/unpacked"
# Read by Debian's pefile, which shares no code with the writer: the
# checksum, the payload alone in a section starting a page of the file, the
# record, and the version resource's numbers and strings.
/usr/bin/python3 - "$work/from.exe" "$work/from.cab" <<'PY' || fail "read by pefile"
import pefile, sys
pe = pefile.PE(sys.argv[1])
assert pe.verify_checksum(), 'checksum'
found = {(t.id, n.id): n.directory.entries[0].data.struct
         for t in pe.DIRECTORY_ENTRY_RESOURCE.entries for n in t.directory.entries}
payload = found[10, 45514]
section = pe.get_section_by_rva(payload.OffsetToData)
assert section.Name.rstrip(b'\0') == b'.cab' and section.VirtualAddress == payload.OffsetToData, section
assert section.PointerToRawData % 4096 == 0, hex(section.PointerToRawData)
assert pe.get_data(payload.OffsetToData, payload.Size) == open(sys.argv[2], 'rb').read(), 'payload'
assert pe.get_data(found[10, 45515].OffsetToData, 4) == b'DMRC', 'record'
fixed = pe.VS_FIXEDFILEINFO[0]
assert (fixed.FileVersionMS, fixed.FileVersionLS) == (2 << 16 | 3, 4 << 16 | 5), fixed
assert (fixed.ProductVersionMS, fixed.ProductVersionLS) == (2 << 16 | 3, 4 << 16 | 5), fixed
strings = pe.FileInfo[0][0].StringTable[0].entries
assert strings[b'FileVersion'] == strings[b'ProductVersion'] == b'2.3.4.5', strings
assert strings[b'InternalName'] == b'instalator', strings
assert pe.OPTIONAL_HEADER.SizeOfImage == max(s.VirtualAddress + s.Misc_VirtualSize for s in pe.sections
                                             ) + 0xfff & ~0xfff, 'size of image'
PY

# The progress line: on a terminal the bytes done of all, the speed and the
# time left, rewritten in place and cleared at the end; elsewhere nothing.
python3 - "$mk" <<'PY' || fail "the progress line"
import importlib.machinery, importlib.util, io, sys
loader = importlib.machinery.SourceFileLoader('mkinstaller', sys.argv[1])
tool = importlib.util.module_from_spec(importlib.util.spec_from_loader('mkinstaller', loader))
loader.exec_module(tool)
clock = [100.0]
tool.time.monotonic = lambda: clock[0]
class Terminal(io.StringIO):
    def isatty(self):
        return True
for stream in (Terminal(), io.StringIO()):
    line = tool.Progress(stream)
    line.start('packing', 300 << 20)
    clock[0] += 20
    line.advance(100 << 20)
    clock[0] += 0.1
    line.advance(1 << 20)
    line.end()
    if stream.isatty():
        shown = stream.getvalue()
        assert shown.startswith('\rpacking: 100.0 MiB of 300.0 MiB (33%), 5.2 MB/s, 40 s left'), repr(shown)
        assert shown.count('\rpacking') == 1 and shown.endswith(' \r'), repr(shown)
    else:
        assert stream.getvalue() == '', repr(stream.getvalue())
PY

# The same folder again, built elsewhere and later: the same bytes.
sleep 1
"$mk" --from "$work/files" --out "$work/again.exe" --arch x86_64 --version 2.3.4.5 >/dev/null
cmp -s "$work/from.exe" "$work/again.exe" || fail "two builds of the same folder differ"

# What ships beside the installer: its further volumes and a declared
# companion, written beside --out and printed with their hashes, and each
# named in the record the installer carries, with its size and SHA-256.
mkdir -p "$work/shipped"
printf 'help shipped beside the installer\r\n' > "$work/kavel.chm"
"$mk" --from "$work/files" --out "$work/shipped/setup.exe" --arch x86_64 --volume-size 64K \
  --companion "$work/kavel.chm" > "$work/shipped.txt"
grep -q '^kavel.chm 35 sha256:' "$work/shipped.txt" || fail "the companion is not printed: $(cat "$work/shipped.txt")"
python3 - "$work/shipped" <<'PY' || fail "the record"
import hashlib, os, struct, sys
folder = sys.argv[1]
data = open(os.path.join(folder, 'setup.exe'), 'rb').read()
at = data.index(b'DMRC\x01\x00')  # The resource, not the signature the code compares with.
version, count = struct.unpack_from('<HH', data, at + 4)
at += 8
entries = []
for _ in range(count):
    kind, length = data[at], data[at + 1]
    name = data[at + 2:at + 2 + length].decode('cp1250')
    size, = struct.unpack_from('<I', data, at + 2 + length)
    digest = data[at + 6 + length:at + 38 + length]
    entries.append((kind, name))
    content = open(os.path.join(folder, name), 'rb').read()
    assert (size, digest) == (len(content), hashlib.sha256(content).digest()), name
    at += 38 + length
volumes = sorted(n for n in os.listdir(folder) if n.endswith('.cab'))
assert version == 1 and len(volumes) >= 1, (version, volumes)
assert entries == [(1, v) for v in volumes] + [(2, 'kavel.chm')], entries
PY

# Refusals: one line, exit status 1, no output, no work folder left behind.
refuse() {
  local out=$work/refused.exe status=0 prev=
  [[ " $* " == *" --out "* ]] || set -- "$@" --out "$out"
  for arg in "$@"; do [ "$prev" = --out ] && out=$arg; prev=$arg; done
  "$mk" "$@" --arch x86_64 2>"$work/err.txt" >/dev/null || status=$?
  [ $status -eq 1 ] || fail "exit $status for $*"
  [ "$(wc -l <"$work/err.txt")" -eq 1 ] || fail "not one line for $*: $(cat "$work/err.txt")"
  [ ! -e "$out" ] && [ -z "$(ls -A "$work/tmp" | grep mkinstaller)" ] || fail "left behind for $*"
}
refuse --from "$work/files/sub"
refuse --from "$work/files" --version 1.2.3
refuse --from "$work/files" --version 1.2.3.65536
refuse --payload "$work/files/sub/b.txt"
for method in zip lzx:14 lzx:22 lzx: mszip:15; do refuse --from "$work/files" --compress "$method"; done
refuse --payload "$work/any.cab" --compress lzx
refuse --payload "$work/any.cab" --companion "$work/files/sub/b.txt"
refuse --payload "$work/any.cab" --companion "$work/nowhere/kavel.chm"
# Stubs: missing, of the other architecture, not this project's (a program
# of its own), an installer that already carries a payload.
mkdir -p "$work/stubs"
MKINSTALLER_PREBUILT=$work/stubs refuse --payload "$work/any.cab"
grep -q 'no stub-x86_64.exe in' "$work/err.txt" || fail "a missing stub: $(cat "$work/err.txt")"
for wrong in "$MKINSTALLER_PREBUILT/stub-i686.exe=is for i686, not x86_64" \
             "$3=not an installer stub of this project" "$work/any.exe=already carries a payload"; do
  cp "${wrong%%=*}" "$work/stubs/stub-x86_64.exe"
  MKINSTALLER_PREBUILT=$work/stubs refuse --payload "$work/any.cab"
  grep -q "${wrong#*=}" "$work/err.txt" || fail "stub ${wrong%%=*}: $(cat "$work/err.txt")"
done
for bad in 'CON' 'sub/nul.txt' 'tail.' 'żółw日本.txt'; do
  mkdir -p "$work/bad/sub"; cp "$work/any.exe" "$work/bad/MERVOLT.EXE"; echo x > "$work/bad/$bad"
  refuse --from "$work/bad"
  rm -rf "$work/bad"
done
mkdir -p "$work/big"; cp "$work/any.exe" "$work/big/MERVOLT.EXE"; truncate -s 3G "$work/big/huge.bin"
refuse --from "$work/big"
rm -rf "$work/big"
# Volume sizes that are not sizes, too small for a data block and headers,
# or more than an installer can carry; a volume's name taken by a folder;
# a disk that fills while the volumes are written (a small file system of
# its own, where this runs as root).
refuse --from "$work/files" --volume-size 12X
refuse --from "$work/files" --volume-size 1000
refuse --from "$work/files" --volume-size 3G
head -c 300000 /dev/urandom > "$work/files/sub/more.bin"
mkdir -p "$work/taken/refused-2.cab"
refuse --from "$work/files" --volume-size 64K --out "$work/taken/refused.exe"
[ -z "$(ls "$work/taken" | grep -v '^refused-2.cab$')" ] || fail "volumes left beside a taken name: $(ls "$work/taken")"
if [ "$(id -u)" -eq 0 ] && mkdir -p "$work/full" && mount -t tmpfs -o size=256k tmpfs "$work/full"; then
  status=0
  "$mk" --from "$work/files" --volume-size 64K --out "$work/full/full.exe" --arch x86_64 \
    2>"$work/err.txt" >/dev/null || status=$?
  left=$(ls -A "$work/full")
  umount "$work/full"
  [ $status -eq 1 ] && [ "$(wc -l <"$work/err.txt")" -eq 1 ] || fail "a full disk: exit $status, $(cat "$work/err.txt")"
  [ -z "$left" ] || fail "left on a full disk: $left"
else
  echo "mkinstaller: the full disk is not tried (needs root to mount a small file system)"
fi
rm "$work/files/sub/more.bin"

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

# A product over what one folder holds (two files of 1.2 GiB of zeros):
# packed into two folders, installed end to end, every file's size and
# CRC-32 right.
mkdir -p "$work/large"; cp "$3" "$work/large/MERVOLT.EXE"
truncate -s 1200M "$work/large/zera1.bin" "$work/large/zera2.bin"
"$mk" --from "$work/large" --out "$work/large.exe" --arch x86_64 >"$work/large.txt"
grep -q '^payload: 3 files, ' "$work/large.txt" || fail "the large product: $(cat "$work/large.txt")"
python3 "$repo/mkinstaller/stubsize.py" --payload "$work/large.exe" "$work/large.cab"
folders=$(python3 -c "import struct; print(struct.unpack_from('<H', open('$work/large.cab', 'rb').read(36), 26)[0])")
[ "$folders" -ge 2 ] || fail "the large product in $folders folder(s)"
zeros=$(python3 -c "
import zlib
crc, block = 0, bytes(1 << 20)
for _ in range(1200): crc = zlib.crc32(block, crc)
print('%08x' % crc)")
MERVOLT_CHECKSUMS=1 WINEPREFIX=$4 WINE_GRAPHICS=x11 "$repo/tools/demo" "$work/large.exe" "$work/large-demo" \
  >"$work/large-demo.txt" 2>&1
for name in zera1.bin zera2.bin; do
  grep -q "^  file $name ----a 1258291200 " "$work/large-demo.txt" &&
    grep -q "^  crc32 $name $zeros\$" "$work/large-demo.txt" || fail "$name installed wrong: $(cat "$work/large-demo.txt")"
done
grep -q '^exit code: 1$' "$work/large-demo.txt" || fail "the large installer: $(cat "$work/large-demo.txt")"
rm -rf "$work/large" "$work/large.cab" "$work/large-demo"

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
