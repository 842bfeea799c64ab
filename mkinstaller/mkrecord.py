#!/usr/bin/env python3
"""Writes the record an installer carries of what its vendor ships beside
it: every further volume of its cabinet set and every companion file, by
name, size and SHA-256. The installer uses nothing beside it that does not
match. The format is the installer's (fs/shipped.h):

  "DMRC", version (u16, 1), entry count (u16), then each entry: kind (u8:
  1 a further volume, 2 a companion file), name length (u8), the name
  (Windows-1250, no folder), size (u32), SHA-256 (32 bytes); little-endian.

  mkinstaller/mkrecord.py OUT.bin [--set FIRST.cab] [--volume FILE ...] [--companion FILE ...]

--set records the volumes the cabinet FIRST.cab goes on in, beside it.
"""

import argparse
import hashlib
import os
import sys

# The files the installer copies from its folder into the work directory
# when its record declares them.
COMPANIONS = ('kavel.chm', 'gdiplus.dll', 'prsetx.bi_', 'wyrmo.bi_', 'wyrmo1.bi_', 'wyrmo2.bi_')
VOLUME, COMPANION = 1, 2


def next_volume_name(path):
    """The name of the volume the cabinet at `path` goes on in, or None."""
    with open(path, 'rb') as f:
        head = f.read(36 + 4 + 255 + 4 * 256)
    if len(head) < 36 or head[:4] != b'MSCF':
        raise ValueError('%s is not a cabinet (no MSCF signature)' % path)
    flags = int.from_bytes(head[30:32], 'little')
    at = 36
    if flags & 4:  # Reserved areas: their sizes, then the header's own.
        at += 4 + int.from_bytes(head[36:38], 'little')
    names = []
    for flag in (1, 2):  # The previous volume's name and disk, then the next's.
        if flags & flag:
            for _ in range(2):
                end = head.find(b'\0', at)
                if end < 0:
                    raise ValueError('%s: a volume name runs past its header' % path)
                names.append(head[at:end])
                at = end + 1
    if not flags & 2:
        return None
    return names[-2].decode('cp1250')


def linked_volumes(payload):
    """The further volumes the cabinet `payload` links to, beside it, in
    order; each must be there."""
    folder = os.path.dirname(os.path.abspath(payload))
    volumes = []
    name = next_volume_name(payload)
    while name is not None:
        seen = [os.path.basename(payload).lower()] + [v.lower() for v in volumes]
        if any(c in name for c in '\\/:') or name.lower() in seen:
            raise ValueError('%s: the set names %s, which cannot be a further volume' % (payload, name))
        path = os.path.join(folder, name)
        if not os.path.isfile(path):
            raise ValueError('%s: the set goes on in %s, which is not beside it' % (payload, name))
        volumes.append(name)
        name = next_volume_name(path)
    return [os.path.join(folder, v) for v in volumes]


def write_record(entries, path):
    """Writes the record of (kind, name, file) entries the installer checks
    what lies beside it against."""
    record = bytearray(b'DMRC' + (1).to_bytes(2, 'little') + len(entries).to_bytes(2, 'little'))
    for kind, name, source in entries:
        try:
            encoded = name.encode('cp1250')
        except UnicodeEncodeError:
            raise ValueError('%s: a name Windows-1250 cannot hold' % name)
        if not 0 < len(encoded) < 256 or os.path.getsize(source) >= 1 << 32:
            raise ValueError('%s: a name of 1 to 255 bytes and a file under 4 GiB are recorded' % name)
        with open(source, 'rb') as f:
            digest = hashlib.sha256()
            for chunk in iter(lambda: f.read(1 << 20), b''):
                digest.update(chunk)
        record += bytes([kind, len(encoded)]) + encoded
        record += os.path.getsize(source).to_bytes(4, 'little') + digest.digest()
    with open(path, 'wb') as f:
        f.write(record)


def main(argv):
    parser = argparse.ArgumentParser(prog='mkrecord', description=__doc__.split('\n')[0])
    parser.add_argument('out')
    parser.add_argument('--set', metavar='FIRST.cab')
    parser.add_argument('--volume', action='append', default=[], metavar='FILE')
    parser.add_argument('--companion', action='append', default=[], metavar='FILE')
    args = parser.parse_args(argv)
    try:
        volumes = linked_volumes(args.set) if args.set else []
    except ValueError as refused:
        print('mkrecord: %s' % refused, file=sys.stderr)
        return 1
    volumes += args.volume
    entries = [(VOLUME, os.path.basename(p), p) for p in volumes]
    entries += [(COMPANION, os.path.basename(p).lower(), p) for p in args.companion]
    write_record(entries, args.out)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
