#!/usr/bin/env python3
"""What each compression costs and gives, on the benchmark's payloads, and
our LZX beside the best open LZX encoder's.

--part anchor: our LZX:21 against wimlib's LZX:100 (Debian's wimtools,
installed here when missing), on the same files, with no Wine:

  whole:  the cabinet mkinstaller/mkcab.py packs (one window over 32 MiB
          folders) against wimlib's solid archive in 2 MiB chunks
          (wimcapture --solid --solid-compress=LZX:100
          --solid-chunk-size=2M), both as files, on the benchmark's product
          and on a product of libraries, DLLs and C headers (about 45 MB);
  pieces: the same files as one stream cut into independent pieces of
          2 MiB (LZX:21) and 32 KiB (LZX:15), each a folder of its own for
          our encoder (the coded frames counted) and a chunk of its own for
          wimlib (each piece a file, its compressed size counted): code,
          text and the whole product;
  speed:  each encoder alone on one CPU on the product's stream, the least
          user time of --runs runs (this machine's speed varies from run to
          run by a third), at our default effort and at others.

--part pack: the cabinet packed by mkcab.py with MSZIP and with LZX at
every window (2^15 .. 2^21), its size and speed. --part install: under Wine
in Xvfb as in run.py, alternately for MSZIP and LZX:21: (a) the installer,
"Instaluj" pressed, until the second stage starts; (b) the platform's
FDICopy alone on the same cabinet (tools/bench/fdicopy.cpp).

Writes build/bench/results-compression.md.

Usage: compression.py [--part anchor,pack,install] [--payloads large,many] [--runs N] [--fs auto|journal|disk]
"""

import argparse
import os
import re
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
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


HEADERS = '/usr/share/mingw-w64/include'
EFFORTS = ('12,257,257,1', '24,257,257,1', '32,257,257,2')  # The default in the middle.


def ensure_wimtools():
    if shutil.which('wimcapture'):
        return
    sudo = [] if os.getuid() == 0 else ['sudo']
    subprocess.run(sudo + ['apt-get', 'install', '-y', '-q', '--no-install-recommends', 'wimtools'], check=True,
                   env=dict(os.environ, DEBIAN_FRONTEND='noninteractive'))


def files_of(folder):
    return [os.path.join(top, f) for top, dirs, files in sorted(os.walk(folder)) for f in sorted(files)
            if os.path.isfile(os.path.join(top, f)) and not os.path.islink(os.path.join(top, f))]


def code_and_headers():
    """A product of libraries, DLLs and C headers: the benchmark's libraries
    and the MinGW-w64 headers from A to L (about 42 MB), made once."""
    run.prepare('large')
    folder = os.path.join(run.BENCH, 'code-headers')
    if not os.path.isdir(folder):
        shutil.copytree(os.path.join(run.BENCH, 'payload', 'bin'), os.path.join(folder, 'bin'))
        os.makedirs(os.path.join(folder, 'include'))
        for name in sorted(os.listdir(HEADERS)):
            path = os.path.join(HEADERS, name)
            if os.path.isfile(path) and 'a' <= name[0].lower() <= 'l':
                shutil.copy(path, os.path.join(folder, 'include', name))
    return folder


def stream(paths, limit=None):
    data = bytearray()
    for path in paths:
        with open(path, 'rb') as f:
            data += f.read()
        if limit and len(data) >= limit:
            return bytes(data[:limit])
    return bytes(data)


def ours(piece, bits, effort=None):
    """The coded size of `piece` as a folder of its own."""
    command = [mkcab.encoder(), '--window', str(bits)] + (['--effort', effort] if effort else [])
    answer = subprocess.run(command, input=piece, stdout=subprocess.PIPE, check=True).stdout
    size = at = 0
    while at < len(answer):
        coded = struct.unpack_from('<I', answer, at)[0]
        size += coded
        at += 8 + coded
    return size


def wim_sizes(folder, options):
    """wimcapture's archive of `folder` with `options`: its size and the
    compressed size of its file data (the metadata left out)."""
    work = tempfile.mkdtemp(dir=run.BENCH)
    try:
        archive = os.path.join(work, 'a.wim')
        subprocess.run(['wimcapture', folder, archive, '--threads=1'] + options, check=True,
                       stdout=subprocess.DEVNULL)
        listing = subprocess.run(['wiminfo', archive, '--blobs'], stdout=subprocess.PIPE, text=True,
                                 check=True).stdout
        data = sum(int(re.search(r'Compressed size\s*=\s*(\d+)', blob).group(1)) for blob in listing.split('\n\n')
                   if 'Compressed size' in blob and 'METADATA' not in blob)
        return os.path.getsize(archive), data
    finally:
        shutil.rmtree(work)


def wim_pieces(pieces, chunk):
    work = tempfile.mkdtemp(dir=run.BENCH)
    try:
        for k, piece in enumerate(pieces):
            with open(os.path.join(work, '%05d' % k), 'wb') as f:
                f.write(piece)
        return wim_sizes(work, ['--compress=LZX:100', '--chunk-size=' + chunk])[1]
    finally:
        shutil.rmtree(work)


def least_time(command, data, runs):
    best = None
    for _ in range(runs):
        before = os.times()
        subprocess.run(command, input=data, stdout=subprocess.DEVNULL, check=True)
        after = os.times()
        spent = after.children_user - before.children_user
        best = spent if best is None else min(best, spent)
    return best


def anchor(runs):
    ensure_wimtools()
    run.pin('1')
    product = os.path.join(run.BENCH, 'payload')
    run.prepare('large')
    mixed = code_and_headers()
    lines = ['## Against wimlib LZX:100', '',
             'Whole archives: our cabinet (mkcab.py --compress lzx:21) against wimlib\'s solid archive in 2 MiB '
             'chunks, both files as written.', '',
             '| product | files | ours | wimlib solid LZX:100 | ours / wimlib |', '|---|---:|---:|---:|---:|']
    out = os.path.join(run.BENCH, 'anchor.cab')
    for name, folder in (('benchmark\'s product', product), ('libraries, DLLs and C headers', mixed)):
        subprocess.run([sys.executable, os.path.join(run.ROOT, 'mkinstaller', 'mkcab.py'), '--compress', 'lzx:21',
                        '--jobs', '1', out, folder], check=True, stdout=subprocess.DEVNULL)
        cab = os.path.getsize(out)
        wim = wim_sizes(folder, ['--solid', '--solid-compress=LZX:100', '--solid-chunk-size=2M'])[0]
        size = sum(os.path.getsize(p) for p in files_of(folder))
        lines.append('| %s (%.1f MB) | %d | %d | %d | %.3f |' % (name, size / 1e6, len(files_of(folder)), cab, wim,
                                                                  cab / wim))
        print(lines[-1], flush=True)
    os.remove(out)
    inputs = (('libraries and DLLs', stream(files_of(os.path.join(product, 'bin')), 16 << 20)),
              ('text (C headers)', stream(files_of(HEADERS), 16 << 20)),
              ('the product', stream(files_of(product))))
    lines += ['', 'Identical independent pieces: a folder each for us (coded bytes), a chunk each for wimlib.', '',
              '| input | pieces | ours | wimlib LZX:100 | ours / wimlib |', '|---|---|---:|---:|---:|']
    for size, bits, chunk, limit in ((2 << 20, 21, '2M', None), (32 << 10, 15, '32K', 4 << 20)):
        for name, data in inputs:
            if limit:
                data = data[(len(data) - limit) // 2:][:limit]  # From the middle: the product's mix.
            pieces = [data[k:k + size] for k in range(0, len(data), size)]
            mine = sum(ours(piece, bits) for piece in pieces)
            theirs = wim_pieces(pieces, chunk)
            lines.append('| %s | %d of %s | %d | %d | %.4f |' % (name, len(pieces), chunk.replace('K', ' KiB').replace(
                'M', ' MiB'), mine, theirs, mine / theirs))
            print(lines[-1], flush=True)
    whole = inputs[2][1]
    lines += ['', 'Speed on one CPU, the product\'s %.1f MB as one stream, least user time of %d runs.' % (
        len(whole) / 1e6, runs), '',
        '| encoder | effort | coded | time | speed |', '|---|---|---:|---:|---:|']
    for effort in EFFORTS:
        command = [mkcab.encoder(), '--effort', effort]
        coded = ours(whole, 21, effort)
        seconds = least_time(command, whole, runs)
        lines.append('| ours LZX:21 | %s%s | %d | %.2f s | %.2f MB/s |' % (
            effort, ' (default)' if effort == '24,257,257,1' else '', coded, seconds, len(whole) / 1e6 / seconds))
        print(lines[-1], flush=True)
    best = None
    for _ in range(runs):
        before = os.times()
        size = wim_sizes(product, ['--solid', '--solid-compress=LZX:100', '--solid-chunk-size=2M'])[0]
        spent = os.times().children_user - before.children_user
        best = spent if best is None else min(best, spent)
    lines.append('| wimlib solid LZX:100 | 2 MiB chunks | %d (archive) | %.2f s | %.2f MB/s |' % (
        size, best, len(whole) / 1e6 / best))
    print(lines[-1], flush=True)
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--part', default='anchor,pack,install')
    parser.add_argument('--payloads', default='large,many')
    parser.add_argument('--runs', type=int, default=7)
    parser.add_argument('--fs', default='auto')
    opts = parser.parse_args()
    parts = opts.part.split(',')
    lines = []
    # Inside Xvfb first: under_xvfb() starts this script again there.
    cpus = run.under_xvfb('1') if 'pack' in parts or 'install' in parts else None
    if 'anchor' in parts:
        lines += anchor(min(opts.runs, 5))
        if parts == ['anchor']:
            run.finish('\n'.join(lines), 'results-compression.md')
            return 0
    kinds = opts.payloads.split(',')
    if 'pack' in parts:
        lines += ['', 'Packed by mkinstaller/mkcab.py on %s; speed is the payload\'s bytes over mkcab\'s whole run.'
                  % cpus, '', '| payload | method | cabinet | of the payload | against MSZIP | packing | speed | '
                  'encoder alone |', '|---|---|---:|---:|---:|---:|---:|---:|']
        for kind in kinds:
            size, rows = pack_table(kind)
            lines += rows
    if 'install' not in parts:
        run.finish('\n'.join(lines), 'results-compression.md')
        return 0
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
