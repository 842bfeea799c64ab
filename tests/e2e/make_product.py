#!/usr/bin/env python3
"""Writes a product for the end-to-end runs, the same bytes on every run:
by default a small one for a set of volumes (a few MB of files that do not
compress, so that they fill volumes, and a text file); with --long one that
takes seconds to install (32 MiB that do not compress and 3,000 small
files in 30 folders), for closing the dialog while it works. Both with the
second stage given.

Usage: make_product.py [--long] OUTPUT_DIR MERVOLT.EXE
"""

import os
import random
import shutil
import sys


def main(argv):
    long = argv[1:2] == ['--long']
    out, stage = argv[1 + long], argv[2 + long]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, 'dane'))
    rng = random.Random(2026)
    if long:
        with open(os.path.join(out, 'dane', 'duzy.bin'), 'wb') as f:
            f.write(rng.randbytes(32 << 20))
        for folder in range(30):
            os.makedirs(os.path.join(out, 'pliki', '%02d' % folder))
            for number in range(100):
                with open(os.path.join(out, 'pliki', '%02d' % folder, 'plik%03d.txt' % number), 'w') as f:
                    f.write('Plik %d w folderze %d.\r\n' % (number, folder) * 40)
    else:
        for name, size in (('dane/duzy.bin', 1500000), ('dane/drugi.bin', 900000), ('maly.bin', 70000)):
            with open(os.path.join(out, name), 'wb') as f:
                f.write(rng.randbytes(size))
        with open(os.path.join(out, 'czytaj.txt'), 'w') as f:
            f.write('Produkt w kilku woluminach.\r\n' * 2000)
    shutil.copyfile(stage, os.path.join(out, 'MERVOLT.EXE'))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
