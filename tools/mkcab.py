#!/usr/bin/env python3
"""Writes a cabinet file: one folder, stored or MSZIP-compressed.

Usage: mkcab.py [options] OUTPUT.cab ROOT [FILE ...]

Each FILE is a path below ROOT and is stored under that relative name, with
"\\" as separator (as UTF-8, flagged so, when it goes beyond ASCII), its
modification time (local time) and its read-only, hidden, system and archive
attributes (from the user.DOSATTRIB extended attribute that Wine keeps, else
archive, and read-only from the write permission). Without FILEs every file
below ROOT is stored, in sorted order.

Options:
  --add NAME=PATH     also store the file PATH under NAME
  --attrib NAME=BITS  store NAME with these attribute bits (e.g. 0x22)
  --mszip             compress the data blocks (MSZIP) instead of storing
  --set-id N          the set id (default 0x3D7B)
  --index N           the volume's index in its set (default 0)
  --prev NAME         name of the previous volume
  --next NAME         name of the next volume

Blocks hold at most 32,768 bytes; checksums are left out (0 means none).
A set written volume by volume has no file running on from one volume into
the next.
"""

import argparse
import os
import struct
import sys
import time
import zlib

BLOCK = 0x8000


def dos_date_time(mtime):
    t = time.localtime(mtime)
    year = min(max(t.tm_year, 1980), 2107)
    date = ((year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday
    clock = (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2)
    return date, clock


def encode_block(block, mszip):
    if not mszip:
        return block
    # Each block is a complete deflate stream of its own, so it never refers
    # back into the previous block.
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    return b'CK' + compressor.compress(block) + compressor.flush()


def file_attributes(path, st):
    """Read-only, hidden, system and archive of a file: from the DOS attributes
    that Wine and Samba keep in the user.DOSATTRIB extended attribute when it
    is there ("0x22"), else archive, and read-only when the owner may not write."""
    try:
        text = os.getxattr(path, 'user.DOSATTRIB').split(b'\0')[0].decode('ascii')
        return int(text, 16) & 0x27
    except (OSError, ValueError, AttributeError):
        attribs = 0x20
        if not st.st_mode & 0o200:
            attribs |= 0x01
        return attribs


# The attribute bit of a name stored as UTF-8.
NAME_IS_UTF8 = 0x80

# Names the platform takes for devices, alone or with an extension.
DEVICES = {'CON', 'PRN', 'AUX', 'NUL', 'CONIN$', 'CONOUT$'} | \
    {'%s%d' % (d, n) for d in ('COM', 'LPT') for n in range(1, 10)}
# The format's limits: names of up to 255 bytes, 65,535 files, and one
# folder of at most 65,535 blocks of 32,768 bytes.
MAX_NAME = 255
MAX_FILES = 0xFFFF
MAX_DATA = 0xFFFF * BLOCK


def check_name(name):
    """Why the installer would refuse `name` (with "\\" separators), or None."""
    try:
        name.encode('cp1250')
    except UnicodeEncodeError:
        return 'a character that Windows-1250 cannot hold'
    if len(name.encode('utf-8')) > MAX_NAME:
        return 'longer than %d bytes' % MAX_NAME
    for part in name.split('\\'):
        if part in ('', '.', '..') or set(part) == {'.'}:
            return 'a component that leaves the folder'
        if any(c in '<>:"/|?*' or ord(c) < 32 for c in part):
            return 'a character Windows does not allow in names'
        if part[-1] in ' .':
            return 'a component ending in a space or a dot'
        if part.split('.')[0].rstrip(' ').upper() in DEVICES:
            return 'a device name'
    return None


def collect_tree(root):
    """Every file below `root` as (name, path), in sorted order, after the
    checks the installer would make at run time. Raises ValueError with the
    reason for the first file refused."""
    real_root = os.path.realpath(root)
    files = []
    total = 0
    for top, dirs, found in os.walk(root):
        dirs.sort()
        for f in sorted(found):
            path = os.path.join(top, f)
            name = os.path.relpath(path, root).replace(os.sep, '\\')
            reason = check_name(name)
            if reason:
                raise ValueError('%s: %s' % (name, reason))
            if not os.path.realpath(path).startswith(real_root + os.sep):
                raise ValueError('%s: a link that leaves the folder' % name)
            if not os.path.isfile(path):
                raise ValueError('%s: not a regular file' % name)
            size = os.path.getsize(path)
            if size >= 1 << 32:
                raise ValueError('%s: 4 GiB or more' % name)
            total += size
            files.append((name, path))
    if len(files) > MAX_FILES:
        raise ValueError('%d files: a cabinet holds at most %d' % (len(files), MAX_FILES))
    if total > MAX_DATA:
        raise ValueError('%d bytes: a cabinet folder holds at most %d' % (total, MAX_DATA))
    return files


def build(files, args):
    entries = []
    data = bytearray()
    for name, path in files:
        with open(path, 'rb') as f:
            content = f.read()
        st = os.stat(path)
        attribs = file_attributes(path, st)
        if name in args.attribs:
            attribs = args.attribs[name]
        date, clock = dos_date_time(st.st_mtime)
        stored = name.replace('/', '\\')
        if stored.isascii():
            stored = stored.encode('ascii')
        else:
            # Beyond ASCII a name is stored as UTF-8 and flagged so: the
            # installer then writes it right on any system whose ANSI code
            # page holds it (and refuses it where the page does not), where
            # bytes of one code page would read as other letters in another.
            stored = stored.encode('utf-8')
            attribs |= NAME_IS_UTF8
        entries.append((len(content), len(data), date, clock, attribs, stored))
        data += content

    blocks = [bytes(data[i:i + BLOCK]) for i in range(0, len(data), BLOCK)] or [b'']
    flags = 0
    links = b''
    if args.prev:
        flags |= 1
        links += args.prev.encode('cp1250') + b'\0' + b'\0'
    if args.next:
        flags |= 2
        links += args.next.encode('cp1250') + b'\0' + b'\0'
    header_size = 36 + len(links)
    folder_size = 8
    files_offset = header_size + folder_size
    table = bytearray()
    for size, offset, date, clock, attribs, name in entries:
        table += struct.pack('<IIHHHH', size, offset, 0, date, clock, attribs) + name + b'\0'
    data_offset = files_offset + len(table)
    body = bytearray()
    for block in blocks:
        encoded = encode_block(block, args.mszip)
        body += struct.pack('<IHH', 0, len(encoded), len(block)) + encoded
    total = data_offset + len(body)
    header = struct.pack('<4sIIIIIBBHHHHH', b'MSCF', 0, total, 0, files_offset, 0,
                         3, 1, 1, len(entries), flags, args.set_id, args.index)
    folder = struct.pack('<IHH', data_offset, len(blocks), 1 if args.mszip else 0)
    return header + links + folder + bytes(table) + bytes(body)


def summarize(data):
    """(files, bytes) of a cabinet's file table. Raises ValueError when the
    table cannot be read."""
    if len(data) < 36 or data[:4] != b'MSCF':
        raise ValueError('not a cabinet')
    files_offset, = struct.unpack_from('<I', data, 16)
    count, = struct.unpack_from('<H', data, 28)
    at, total = files_offset, 0
    for _ in range(count):
        if at + 16 > len(data):
            raise ValueError('file table cut short')
        size, _, index = struct.unpack_from('<IIH', data, at)
        if index & 0xFFFD != 0xFFFD:  # Not continued from a previous volume.
            total += size
        end = data.find(b'\0', at + 16)
        if end < 0:
            raise ValueError('file table cut short')
        at = end + 1
    return count, total


def pair(text):
    name, _, value = text.partition('=')
    if not value:
        raise argparse.ArgumentTypeError('expected NAME=VALUE: ' + text)
    return name, value


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('output')
    parser.add_argument('root')
    parser.add_argument('files', nargs='*')
    parser.add_argument('--add', type=pair, action='append', default=[])
    parser.add_argument('--attrib', type=pair, action='append', default=[])
    parser.add_argument('--mszip', action='store_true')
    parser.add_argument('--set-id', type=lambda s: int(s, 0), default=0x3D7B)
    parser.add_argument('--index', type=lambda s: int(s, 0), default=0)
    parser.add_argument('--prev')
    parser.add_argument('--next')
    args = parser.parse_args(argv[1:])
    args.attribs = {name.replace('/', '\\'): int(bits, 0) for name, bits in args.attrib}

    names = list(args.files)
    if not names:
        for top, _, found in os.walk(args.root):
            for f in found:
                names.append(os.path.relpath(os.path.join(top, f), args.root))
        names.sort()
    files = [(n.replace(os.sep, '\\'), os.path.join(args.root, n)) for n in names]
    files += [(n.replace('/', '\\'), p) for n, p in args.add]
    with open(args.output, 'wb') as f:
        f.write(build(files, args))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
