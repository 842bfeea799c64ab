#!/usr/bin/env python3
"""How the vendor's tool packs: its time and its peak memory.

Products: a small folder (the benchmark's second stage and the demo's
files); 600 MiB of this machine's own files (its Wine DLLs, C headers,
shared libraries, documentation and message catalogues, taken in sorted
order from /usr until 600 MiB; made once), stored and LZX:21; or with
--huge instead, huge.py's products of 1, 2 and 4 GiB (LZX:21, volumes of
the default size). Each is packed by mkinstaller/mkinstaller on one core
(taskset, --jobs 1) and on two (--jobs 2), its round-trip check with
cabextract included. Peak memory is the largest sum of the resident
memory of mkinstaller and of every process it started (the encoders,
cabextract), sampled every 50 ms from /proc.

Writes build/bench/packing.md (packing-huge.md).

Usage: packing.py [--huge [--sizes 1,2,4]] [--runs N]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, HERE)
import run  # noqa: E402

PACKING = os.path.join(run.BENCH, 'packing')
MKINSTALLER = os.path.join(ROOT, 'mkinstaller', 'mkinstaller')
SOURCES = ('/usr/lib/x86_64-linux-gnu/wine', '/usr/include', '/usr/lib/x86_64-linux-gnu', '/usr/share/doc',
           '/usr/lib/gcc', '/usr/share/locale')
PAGE = os.sysconf('SC_PAGE_SIZE')


def small():
    folder = os.path.join(PACKING, 'small')
    if not os.path.isdir(folder):
        shutil.copytree(os.path.join(ROOT, 'demo', 'payload'), folder)
        shutil.copyfile(os.path.join(run.X64, 'bench_stage.exe'), os.path.join(folder, 'MERVOLT.EXE'))
    return folder


def machine_files(limit=600 << 20):
    """600 MiB of this machine's files, under names the installer takes."""
    folder = os.path.join(PACKING, 'product-600')
    if os.path.exists(folder + '.ready'):
        return folder
    shutil.rmtree(folder, ignore_errors=True)
    total = 0
    seen = set()
    for root in SOURCES:
        for top, dirs, files in os.walk(root):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(top, name)
                if os.path.islink(path) or not os.path.isfile(path):
                    continue
                st = os.stat(path)
                if st.st_ino in seen or total + st.st_size > limit:
                    continue
                seen.add(st.st_ino)
                relative = os.path.relpath(path, '/usr')
                try:
                    relative.encode('cp1250')
                except UnicodeEncodeError:
                    continue
                if any(c in '<>:"|?*\\' or ord(c) < 32 for c in relative) or \
                        any(part[-1] in '. ' for part in relative.split('/')):
                    continue
                target = os.path.join(folder, relative)
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copyfile(path, target)
                total += st.st_size
    shutil.copyfile(os.path.join(run.X64, 'bench_stage.exe'), os.path.join(folder, 'MERVOLT.EXE'))
    open(folder + '.ready', 'w').close()
    return folder


def tree_memory(root):
    """The resident bytes of process `root` and all its descendants."""
    parents = {}
    resident = {}
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % entry) as f:
                fields = f.read().rsplit(')', 1)[1].split()
        except OSError:
            continue
        parents[int(entry)] = int(fields[1])
        resident[int(entry)] = int(fields[21]) * PAGE
    total = 0
    for pid in resident:
        ancestor = pid
        while ancestor not in (root, 0, 1) and ancestor in parents:
            ancestor = parents[ancestor]
        if ancestor == root:
            total += resident[pid]
    return total


def pack(folder, out, options, cores):
    """One run: (seconds, peak bytes of memory)."""
    for name in os.listdir(os.path.dirname(out)):
        if name.startswith(os.path.basename(out)[:-4]):
            os.remove(os.path.join(os.path.dirname(out), name))
    started = time.monotonic()
    process = subprocess.Popen(['taskset', '-c', cores, MKINSTALLER, '--from', folder, '--out', out] + options,
                               stdout=subprocess.DEVNULL)
    peak = [0]

    def sample():
        while process.poll() is None:
            peak[0] = max(peak[0], tree_memory(process.pid))
            time.sleep(0.05)

    sampler = threading.Thread(target=sample)
    sampler.start()
    process.wait()
    seconds = time.monotonic() - started
    sampler.join()
    if process.returncode != 0:
        sys.exit('packing.py: mkinstaller failed on %s' % folder)
    return seconds, peak[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--huge', action='store_true')
    parser.add_argument('--sizes', default='1,2,4', help='with --huge: the products, in GiB')
    parser.add_argument('--runs', type=int, default=1)
    opts = parser.parse_args()
    os.makedirs(PACKING, exist_ok=True)
    if opts.huge:
        import huge
        products = [('%d GiB (huge.py), LZX:21' % size, huge.product(size), 'lzx:21') for size in map(int, opts.sizes.split(','))]
    else:
        products = [('small folder', small(), 'lzx:21'), ('600 MiB, stored', machine_files(), 'none'),
                    ('600 MiB, LZX:21', machine_files(), 'lzx:21')]
    lines = ['| product | bytes | one core: time | one core: peak memory | two cores: time | '
             'two cores: peak memory | speed-up |', '|---|---:|---:|---:|---:|---:|---:|']
    for label, folder, method in products:
        size = sum(os.path.getsize(os.path.join(top, f)) for top, _, fs in os.walk(folder) for f in fs)
        out = os.path.join(PACKING, 'out', 'setup.exe')
        os.makedirs(os.path.dirname(out), exist_ok=True)
        figures = {}
        digests = set()
        for cores, jobs in (('0', '1'), ('0,1', '2')):
            runs = [pack(folder, out, ['--compress', method, '--jobs', jobs], cores) for _ in range(opts.runs)]
            figures[jobs] = (statistics.median(r[0] for r in runs), max(r[1] for r in runs))
            digests.add(subprocess.run(['sha256sum', out], capture_output=True, text=True).stdout.split()[0])
        if len(digests) != 1:
            sys.exit('packing.py: %s packed into other bytes on two cores' % label)
        one, two = figures['1'], figures['2']
        lines.append('| %s | %d | %.1f s | %d MB | %.1f s | %d MB | %.2f |' % (
            label, size, one[0], one[1] / 1e6, two[0], two[1] / 1e6, one[0] / two[0]))
        print(lines[-1], flush=True)
    shutil.rmtree(os.path.join(PACKING, 'out'), ignore_errors=True)
    with open(os.path.join(run.BENCH, 'packing-huge.md' if opts.huge else 'packing.md'), 'w') as f:
        f.write('\n'.join(lines) + '\n')
    print('\n'.join(lines))


if __name__ == '__main__':
    main()
