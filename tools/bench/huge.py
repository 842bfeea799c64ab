#!/usr/bin/env python3
"""A vendor's product of any size: packing it into a set of volumes and
installing it, per GiB, against the platform's bare extraction of the same
set.

For each size (GiB), builds once under build/bench/huge/: a product of
files of 256 MiB, every other one incompressible (random bytes) and the rest
text, with a second stage that stamps its start; an x86-64 installer of it
made by mkinstaller/mkinstaller (a set of volumes of the default size: the first
inside the installer, the others beside it), timed; the first volume also
as a file beside the others. Then, under Wine in Xvfb, alternately:

  (a) the installer: "Instaluj" pressed, until the second stage starts;
  (b) the platform's FDICopy alone on the same set (tools/bench/fdicopy.cpp).

Everything runs on one CPU, with %TEMP% on an ext4 of its own, as in
run.py. Writes build/bench/results-huge.md.

Usage: huge.py [--sizes 1,2,4] [--runs N] [--warm TIMES]
"""

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, 'tools'))
sys.path.insert(0, os.path.join(ROOT, 'mkinstaller'))
import run  # noqa: E402
import stubsize  # noqa: E402

HUGE = os.path.join(run.BENCH, 'huge')
PART = 256 << 20
TEXT = ('Produkt dostawcy: pliki programu, biblioteki i dane, instalowane z zestawu woluminów. '
        * 64).encode('utf-8')


def product(size_gib):
    """The product folder of `size_gib` GiB, made once."""
    folder = os.path.join(HUGE, 'product-%d' % size_gib)
    ready = folder + '.ready'
    if os.path.exists(ready):
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(os.path.join(folder, 'dane'))
    rng = random.Random(size_gib)
    for i in range(size_gib * (1 << 30) // PART):
        with open(os.path.join(folder, 'dane', 'czesc%02d.bin' % i), 'wb') as f:
            for _ in range(PART // (1 << 20)):
                f.write(rng.randbytes(1 << 20) if i % 2 == 0 else (TEXT * ((1 << 20) // len(TEXT) + 1))[:1 << 20])
    shutil.copyfile(os.path.join(run.X64, 'bench_stage.exe'), os.path.join(folder, 'MERVOLT.EXE'))
    open(ready, 'w').close()
    return folder


def pack(size_gib):
    """The installer and its volumes, made once; returns (installer, first
    volume, seconds mkinstaller took, bytes of the set)."""
    medium = os.path.join(HUGE, 'medium-%d' % size_gib)
    exe = os.path.join(medium, 'instalator.exe')
    timing = os.path.join(medium, 'pack-seconds.txt')
    first = os.path.join(medium, 'dmins.cab')
    if not os.path.exists(timing):
        source = product(size_gib)
        shutil.rmtree(medium, ignore_errors=True)
        os.makedirs(medium)
        started = time.time()
        subprocess.run([os.path.join(ROOT, 'mkinstaller', 'mkinstaller'), '--from', source, '--out', exe,
                        '--arch', 'x86_64'], check=True, stdout=subprocess.DEVNULL)
        with open(timing, 'w') as f:
            f.write('%.1f\n' % (time.time() - started))
        with open(first, 'wb') as f:
            f.write(stubsize.Pe(exe).payload())
    with open(timing) as f:
        seconds = float(f.read())
    volumes = [os.path.join(medium, n) for n in os.listdir(medium) if n.endswith('.cab')]
    return exe, first, seconds, sum(os.path.getsize(v) for v in volumes), len(volumes)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--sizes', default='1,2,4')
    parser.add_argument('--runs', type=int, default=2)
    parser.add_argument('--fs', default='auto')
    parser.add_argument('--warm', type=int, default=2,
                        help='memory warmed before each run, in times what the installer writes (0: none)')
    opts = parser.parse_args()
    cpus = run.under_xvfb('1')
    sizes = [int(s) for s in opts.sizes.split(',')]
    # The build alone, to tell packing from it: an installer around a tiny
    # cabinet.
    tiny = os.path.join(HUGE, 'tiny')
    os.makedirs(tiny, exist_ok=True)
    shutil.copyfile(os.path.join(run.X64, 'bench_stage.exe'), os.path.join(tiny, 'MERVOLT.EXE'))
    started = time.time()
    subprocess.run([os.path.join(ROOT, 'mkinstaller', 'mkinstaller'), '--from', tiny, '--out',
                    os.path.join(HUGE, 'tiny.exe'), '--arch', 'x86_64'], check=True, stdout=subprocess.DEVNULL)
    build_seconds = time.time() - started
    sets = {size: pack(size) for size in sizes}
    run.warm_prefix()
    where = run.temp_file_system(opts.fs, size=(3 * max(sizes) + 4) << 30)
    lines = ['| product | volumes, set | pack and build | pack, per GiB | (a) install | (a) per GiB | '
             '(b) FDICopy | (a)/(b) |',
             '|---|---|---:|---:|---:|---:|---:|---:|']
    for size in sizes:
        exe, first, seconds, set_bytes, volumes = sets[size]
        installs, floors = [], []
        # Each contender finds warm memory (run.warm_memory): twice what the
        # installer writes (the product and the first volume), as the host
        # takes back some 750 MB of it every two seconds of a run.
        warm = opts.warm * ((size << 30) + os.path.getsize(first) + (256 << 20))
        for i in range(opts.runs):
            start, _, _, code = run.run_installer(exe, patience=3600, warm=warm)
            if code != 1:
                raise RuntimeError('the installer exited with %d' % code)
            installs.append(start / 1000)
            floors.append(run.run_fdicopy(first, warm=warm) / 1000)
            print('%d GiB, run %d: installer %.1f s, FDICopy %.1f s' % (size, i + 1, installs[-1], floors[-1]),
                  flush=True)
        a, b = statistics.median(installs), statistics.median(floors)
        pack_only = seconds - build_seconds
        lines.append('| %d GiB | %d, %.2f GiB | %.0f s | %.1f s | %.1f s | %.1f s | %.1f s | %.2f |' % (
            size, volumes, set_bytes / (1 << 30), seconds, pack_only / size, a, a / size, b, a / b))
    heading = ('Products of 256 MiB files, half incompressible; volumes of the default size; %d runs each, '
               'medians; on %s; %s. The build of an installer alone takes %.0f s of "pack and build".\n\n'
               % (opts.runs, cpus, where, build_seconds))
    run.finish(heading + '\n'.join(lines), 'results-huge.md')
    return 0


if __name__ == '__main__':
    sys.exit(main())
