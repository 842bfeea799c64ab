#!/usr/bin/env python3
"""Writes a small product for the end-to-end runs of a set of volumes: a
few MB of files that do not compress (so that they fill volumes), a
text file, and the second stage given. The same bytes on every run.

Usage: make_product.py OUTPUT_DIR MERVOLT.EXE
"""

import os
import random
import shutil
import sys


def main(argv):
    out, stage = argv[1], argv[2]
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(os.path.join(out, 'dane'))
    rng = random.Random(2026)
    for name, size in (('dane/duzy.bin', 1500000), ('dane/drugi.bin', 900000), ('maly.bin', 70000)):
        with open(os.path.join(out, name), 'wb') as f:
            f.write(rng.randbytes(size))
    with open(os.path.join(out, 'czytaj.txt'), 'w') as f:
        f.write('Produkt w kilku woluminach.\r\n' * 2000)
    shutil.copyfile(stage, os.path.join(out, 'MERVOLT.EXE'))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
