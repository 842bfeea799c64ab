#!/usr/bin/env python3
"""Writes the benchmark's product files: about 40 MB in three levels of
folders, fourteen program libraries of two architectures, a few hundred
small text files and about a hundred images, the same bytes on every run.
With --many: 5,000 small text files (0.5 to 4 KB) in 50 folders, where the
cost per file outweighs the cost per byte.

The libraries are real code, so that a compressor is measured on what
vendors ship: x86-64 DLLs of Wine and i686 DLLs of the MinGW-w64 compiler,
from the Debian packages tools/install-deps installs, stripped of their
debug sections as a shipped product would be (the same bytes as long as
those packages are).

Usage: make_payload.py [--many] OUTPUT_DIR
"""

import os
import random
import struct
import subprocess
import sys

WORDS = ('instalacja plik katalog program dane wersja system okno przycisk tekst obraz '
         'archiwum wolumin dysk pamięć postęp zapis odczyt ustawienia pomoc licencja '
         'użytkownik produkt biblioteka moduł konfiguracja raport błąd sukces').split()


# (strip tool, folder, DLLs): 16.7 MB of x86-64 code, 5.9 MB of i686.
LIBRARIES = (
    ('x86_64-w64-mingw32-strip', '/usr/lib/x86_64-linux-gnu/wine/x86_64-windows',
     ('kernelbase', 'wined3d', 'msxml3', 'mshtml', 'user32', 'windowscodecs', 'comctl32', 'msi', 'ole32')),
    ('i686-w64-mingw32-strip', '/usr/lib/gcc/i686-w64-mingw32/12-posix',
     ('libgfortran-5', 'libstdc++-6', 'libquadmath-0', 'libgomp-1', 'libgcc_s_dw2-1')),
)


def libraries(out):
    os.makedirs(os.path.join(out, 'bin'), exist_ok=True)
    for strip, folder, names in LIBRARIES:
        for name in names:
            source = os.path.join(folder, name + '.dll')
            if not os.path.exists(source):
                raise SystemExit('make_payload.py: %s is missing (run tools/install-deps)' % source)
            subprocess.run([strip, '-o', os.path.join(out, 'bin', name + '.dll'), source], check=True)


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
    libraries(out)
    for i in range(300):
        level = ('dane', 'dane\\teksty', 'dane\\teksty\\stare')[i % 3].replace('\\', os.sep)
        write(os.path.join(out, level, 'plik%03d.txt' % i), text(rng, rng.randint(4000, 36000)))
    for i in range(100):
        level = ('obrazy', 'obrazy\\male', 'obrazy\\male\\ikony')[i % 3].replace('\\', os.sep)
        write(os.path.join(out, level, 'obraz%03d.bmp' % i), bitmap(rng, 200, 200))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
