#!/usr/bin/env python3
"""How steady this machine's file system is, without Wine: writes what an
installation of the benchmark payload writes (one 14 MB file, then 400 files
of 100 KB, made empty first and then filled) into a folder, removes it, and
repeats after pauses of 0 to 8 seconds. Prints each round's milliseconds for
the large file, the 400 creations, their contents and the removal.

When the creations vary several-fold from round to round, so will every
benchmark figure that makes files; compare with a folder in memory:

    tools/bench/disk_check.py build/bench/disk-check
    tools/bench/disk_check.py /dev/shm/disk-check
"""

import os
import shutil
import sys
import time

PAUSES = [0, 0, 0, 1, 1, 5, 5, 0, 0, 8, 0, 0]


def one_round(folder, blob):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    marks = [time.perf_counter()]
    with open(os.path.join(folder, 'payload'), 'wb') as f:
        f.write(bytes(14_000_000))
    marks.append(time.perf_counter())
    names = [os.path.join(folder, 'f%d' % i) for i in range(400)]
    for name in names:
        open(name, 'wb').close()
    marks.append(time.perf_counter())
    for name in names:
        with open(name, 'r+b') as f:
            f.write(blob)
    marks.append(time.perf_counter())
    shutil.rmtree(folder)
    marks.append(time.perf_counter())
    return [(b - a) * 1000 for a, b in zip(marks, marks[1:])]


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    blob = os.urandom(100_000)
    print('pause s | 14 MB file | 400 creations | 400 x 100 KB | removal  (ms)')
    for pause in PAUSES:
        time.sleep(pause)
        print('%7d | %10.0f | %13.0f | %12.0f | %7.0f' % ((pause,) + tuple(one_round(sys.argv[1], blob))),
              flush=True)
    return 0


if __name__ == '__main__':
    sys.exit(main())
