#!/usr/bin/env python3
"""What each compression costs and gives, on the benchmark's payloads.

For each payload (large, many): the cabinet packed by mkinstaller/mkcab.py with
MSZIP and with LZX at every window (2^15 .. 2^21), its size and the packing
speed (the payload's bytes over mkcab's whole run, on one CPU, and for LZX
over the encoder's alone, given all the files as one stream); then, under
Wine in Xvfb as in run.py, alternately for MSZIP and LZX:21:

  (a) the installer: "Instaluj" pressed, until the second stage starts;
  (b) the platform's FDICopy alone on the same cabinet (tools/bench/fdicopy.cpp).

Writes build/bench/results-compression.md.

Usage: compression.py [--payloads large,many] [--runs N] [--fs auto|journal|disk]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import run  # noqa: E402
sys.path.insert(0, os.path.join(run.ROOT, 'mkinstaller'))
import mkcab  # noqa: E402

WINDOWS = range(15, 22)
TIMED = ('mszip', 'lzx:21')


def pack_table(kind):
    """Rows of packed size and speed for every method, packing anew each time."""
    run.prepare(kind)
    folder = os.path.join(run.BENCH, run.PAYLOADS[kind][0])
    size = sum(os.path.getsize(os.path.join(top, f)) for top, _, files in os.walk(folder) for f in files)
    stage = os.path.join(run.X64, 'bench_stage.exe')
    out = os.path.join(run.BENCH, 'compression.cab')
    blob = b''.join(open(os.path.join(top, f), 'rb').read()
                    for top, _, files in sorted(os.walk(folder)) for f in sorted(files))
    rows = []
    mszip = None
    for method in ('mszip',) + tuple('lzx:%d' % w for w in WINDOWS):
        started = time.time()
        subprocess.run([sys.executable, os.path.join(run.ROOT, 'mkinstaller', 'mkcab.py'), '--compress', method,
                        '--add', 'MERVOLT.EXE=' + stage, out, folder], check=True, stdout=subprocess.DEVNULL)
        seconds = time.time() - started
        packed = os.path.getsize(out)
        mszip = mszip or packed
        alone = ''
        if method.startswith('lzx'):
            started = time.time()
            subprocess.run([mkcab.encoder(), '--window', method[4:]], input=blob, check=True,
                           stdout=subprocess.DEVNULL)
            alone = '%.1f MB/s' % (len(blob) / 1e6 / (time.time() - started))
        rows.append('| %s | %s | %.2f MB | %.1f %% | %+.1f %% | %.1f s | %.1f MB/s | %s |' % (
            kind, method.upper(), packed / 1e6, 100 * packed / size, 100 * (packed - mszip) / mszip,
            seconds, size / 1e6 / seconds, alone))
        print(rows[-1], flush=True)
    os.remove(out)
    return size, rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--payloads', default='large,many')
    parser.add_argument('--runs', type=int, default=7)
    parser.add_argument('--fs', default='auto')
    opts = parser.parse_args()
    cpus = run.under_xvfb('1')
    kinds = opts.payloads.split(',')
    lines = ['Packed by mkinstaller/mkcab.py on %s; speed is the payload\'s bytes over mkcab\'s whole run.' % cpus, '',
             '| payload | method | cabinet | of the payload | against MSZIP | packing | speed | encoder alone |',
             '|---|---|---:|---:|---:|---:|---:|---:|']
    for kind in kinds:
        size, rows = pack_table(kind)
        lines += rows
    sets = {(kind, method): run.prepare(kind, method) for kind in kinds for method in TIMED}
    run.warm_prefix()
    where = run.temp_file_system(opts.fs)
    time.sleep(2)
    lines += ['', 'Installing, %d runs each, alternately, medians; on %s; %s.' % (opts.runs, cpus, where), '',
              '| payload | method | (a) installer, ms | (b) FDICopy, ms | (a)/(b) | (a) against MSZIP\'s (a), '
              'within runs |', '|---|---|---:|---:|---:|---:|']
    for kind in kinds:
        times = {method: ([], []) for method in TIMED}
        for i in range(opts.runs):
            for method in TIMED:
                cab, exe = sets[(kind, method)][:2]
                start, _, _, code = run.run_installer(exe)
                if code != 1:
                    raise RuntimeError('the installer exited with %d' % code)
                times[method][0].append(start)
                times[method][1].append(run.run_fdicopy(cab))
            print('%s, run %d: %s' % (kind, i + 1, ', '.join('%s %.0f/%.0f ms' % (m, t[0][-1], t[1][-1])
                                                             for m, t in times.items())), flush=True)
        base = times['mszip'][0]
        for method in TIMED:
            a, b = (statistics.median(t) for t in times[method])
            against = statistics.median([x / y for x, y in zip(times[method][0], base)])
            lines.append('| %s | %s | %.0f | %.0f | %.2f | %.2f |' % (kind, method.upper(), a, b, a / b, against))
    run.finish('\n'.join(lines), 'results-compression.md')
    return 0


if __name__ == '__main__':
    sys.exit(main())
