#!/usr/bin/env python3
"""Writes a cabinet file of stored (uncompressed) files.

Usage: mkcab.py OUTPUT.cab ROOT [FILE ...]

Each FILE is a path below ROOT and is stored under that relative name, with
"\\" as separator, its modification time and its read-only, hidden, system
and archive attributes (the latter as far as the file system shows them:
read-only from the write permission). Without FILEs every file below ROOT is
stored, in sorted order. One folder, blocks of at most 32,768 bytes, no
checksums (a checksum of 0 means none in the cabinet format).
"""

import os
import struct
import sys
import time

BLOCK = 0x8000


def dos_date_time(mtime):
    t = time.localtime(mtime)
    year = max(t.tm_year, 1980)
    date = ((year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday
    clock = (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2)
    return date, clock


def build(root, names):
    entries = []
    data = bytearray()
    for name in names:
        path = os.path.join(root, name)
        with open(path, 'rb') as f:
            content = f.read()
        st = os.stat(path)
        attribs = 0x20
        if not st.st_mode & 0o200:
            attribs |= 0x01
        date, clock = dos_date_time(st.st_mtime)
        entries.append((len(content), len(data), date, clock, attribs,
                        name.replace('/', '\\').encode('cp1250')))
        data += content

    blocks = [bytes(data[i:i + BLOCK]) for i in range(0, len(data), BLOCK)] or [b'']
    header_size = 36
    folder_size = 8
    files_offset = header_size + folder_size
    files = bytearray()
    for size, offset, date, clock, attribs, name in entries:
        files += struct.pack('<IIHHHH', size, offset, 0, date, clock, attribs) + name + b'\0'
    data_offset = files_offset + len(files)
    body = bytearray()
    for block in blocks:
        body += struct.pack('<IHH', 0, len(block), len(block)) + block
    total = data_offset + len(body)
    header = struct.pack('<4sIIIIIBBHHHHH', b'MSCF', 0, total, 0, files_offset, 0,
                         3, 1, 1, len(entries), 0, 0x3D7B, 0)
    folder = struct.pack('<IHH', data_offset, len(blocks), 0)
    return header + folder + bytes(files) + bytes(body)


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    out, root, names = argv[1], argv[2], argv[3:]
    if not names:
        for top, _, files in os.walk(root):
            for f in files:
                names.append(os.path.relpath(os.path.join(top, f), root))
        names.sort()
    with open(out, 'wb') as f:
        f.write(build(root, names))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
