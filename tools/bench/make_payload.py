#!/usr/bin/env python3
"""Writes the benchmark's product files: about 40 MB in three levels of
folders, a few large binaries (partly compressible), a few hundred small
text files and about a hundred images, the same bytes on every run. With
--many: 5,000 small text files (0.5 to 4 KB) in 50 folders, where the cost
per file outweighs the cost per byte.

Usage: make_payload.py [--many] OUTPUT_DIR
"""

import os
import random
import struct
import sys

WORDS = ('instalacja plik katalog program dane wersja system okno przycisk tekst obraz '
         'archiwum wolumin dysk pamięć postęp zapis odczyt ustawienia pomoc licencja '
         'użytkownik produkt biblioteka moduł konfiguracja raport błąd sukces').split()


def binary(rng, size):
    """Code-like data: incompressible stretches between repetitive tables."""
    out = bytearray()
    while len(out) < size:
        if rng.random() < 0.1:
            out += rng.randbytes(rng.randint(2048, 16384))
        else:
            base = rng.randint(0, 1 << 20)
            step = rng.randint(1, 64)
            count = rng.randint(512, 4096)
            out += b''.join(struct.pack('<I', base + step * i) for i in range(count))
    return bytes(out[:size])


def text(rng, size):
    words = []
    length = 0
    while length < size:
        word = rng.choice(WORDS)
        words.append(word)
        length += len(word.encode('utf-8')) + 1
    body = ' '.join(words).encode('utf-8')[:size]
    return body.replace(b'  ', b'\r\n')


def bitmap(rng, width, height):
    """A 24-bit BMP: a gradient with noise."""
    row_size = (width * 3 + 3) & ~3
    rows = []
    for y in range(height):
        row = bytearray()
        for x in range(0, width, 8):
            r = (x * 255 // width) & 0xff
            g = (y * 255 // height) & 0xff
            b = rng.randint(0, 40)
            row += bytes((b, g, r)) * 8
        rows.append(bytes(row[:width * 3]).ljust(row_size, b'\0'))
    pixels = b''.join(rows)
    header = struct.pack('<2sIHHI', b'BM', 54 + len(pixels), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data)


def main(argv):
    many = argv[1:2] == ['--many']
    if len(argv) != 2 + many:
        sys.stderr.write(__doc__)
        return 2
    out = argv[-1]
    rng = random.Random(20261208)
    if many:
        for i in range(5000):
            write(os.path.join(out, 'teczka%02d' % (i % 50), 'notka%04d.txt' % i), text(rng, rng.randint(500, 4000)))
        return 0
    for i, size in enumerate((9 << 20, 7 << 20, 5 << 20, 3 << 20)):
        write(os.path.join(out, 'bin', 'modul%d.dll' % i), binary(rng, size))
    for i in range(300):
        level = ('dane', 'dane\\teksty', 'dane\\teksty\\stare')[i % 3].replace('\\', os.sep)
        write(os.path.join(out, level, 'plik%03d.txt' % i), text(rng, rng.randint(4000, 36000)))
    for i in range(100):
        level = ('obrazy', 'obrazy\\male', 'obrazy\\male\\ikony')[i % 3].replace('\\', os.sep)
        write(os.path.join(out, level, 'obraz%03d.bmp' % i), bitmap(rng, 200, 200))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
