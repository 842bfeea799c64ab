#!/usr/bin/env python3
"""How large a payload the shipped 32-bit installer can carry inside itself.

Writes i686 installers (into the shipped stub, as mkinstaller does) around stored cabinets
of a product of the given sizes (a file of zeros and a second stage that
stamps its start), each also marked large-address-aware, and runs every one
in the virtual machine that runs 32-bit code (tools/vm/run: 32-bit Wine in a
64-bit prefix, as most users start it), pressing "Instaluj" as a user would:
does it load, write its payload out, unpack it and start the second stage,
and how long does it take. The machine's temporary folder is in its memory.

Usage: payload_limit.py [--sizes MiB,MiB,...]       results in build/bench/limit.md
       payload_limit.py --inside RESULTS INSTALLER...  (in the machine)
"""

import argparse
import glob
import os
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, os.path.join(ROOT, 'tools'))
sys.path.insert(0, os.path.join(ROOT, 'mkinstaller'))
import pe_writer  # noqa: E402

BUILD = os.path.join(ROOT, 'build')
LIMIT = os.path.join(BUILD, 'bench', 'limit')
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x20


def large_address_aware(path, copy):
    """A copy of the executable at `path` marked large-address-aware."""
    data = bytearray(open(path, 'rb').read())
    pe = struct.unpack_from('<I', data, 0x3c)[0]
    characteristics = struct.unpack_from('<H', data, pe + 22)[0]
    struct.pack_into('<H', data, pe + 22, characteristics | IMAGE_FILE_LARGE_ADDRESS_AWARE)
    with open(copy, 'wb') as f:
        f.write(data)


def build(sizes):
    """The installers, smallest first: (MiB, plain, large-address-aware)."""
    os.makedirs(LIMIT, exist_ok=True)
    stage = os.path.join(BUILD, 'i686', 'bench_stage.exe')
    if not os.path.exists(stage):
        raise SystemExit('payload_limit: build the i686 product first (make build-i686)')
    product = os.path.join(LIMIT, 'product')
    cabinet = os.path.join(LIMIT, 'payload.cab')
    built = []
    for size in sizes:
        plain = os.path.join(LIMIT, 'limit-%d.exe' % size)
        aware = os.path.join(LIMIT, 'limit-%d-laa.exe' % size)
        if not (os.path.exists(plain) and os.path.exists(aware)):
            shutil.rmtree(product, ignore_errors=True)
            os.makedirs(product)
            shutil.copyfile(stage, os.path.join(product, 'MERVOLT.EXE'))
            with open(os.path.join(product, 'zera.bin'), 'wb') as f:
                f.truncate(size << 20)
            subprocess.run([sys.executable, os.path.join(ROOT, 'mkinstaller', 'mkcab.py'), cabinet, product],
                           check=True)
            pe_writer.write_installer(os.path.join(BUILD, 'prebuilt', 'stub-i686.exe'), cabinet, plain)
            large_address_aware(plain, aware)
            os.remove(cabinet)
            shutil.rmtree(product)
        built.append((size, plain, aware))
    return built


def inside(results, installers):
    """In the machine: each installer once, "Instaluj" pressed; a line of
    results each."""
    from windriver import Run, temp_folder
    lines = []
    for exe in installers:
        out = os.path.join('/tmp', 'limit-' + os.path.basename(exe))
        shutil.rmtree(out, ignore_errors=True)
        os.makedirs(out)
        stamp = os.path.join(out, 'stamp.txt')
        started = time.time()
        try:
            run = Run(out, exe, env={'MERVOLT_STAMP': 'Z:' + stamp.replace('/', '\\'), 'MERVOLT_EXIT': '0',
                                     'WINEDEBUG': 'trace+msgbox'}, deadline=1200)
            code, boxes = run.code, run.boxes
            shown = 'yes'
        except AssertionError as failed:
            code, boxes, shown = None, [], 'no (%s)' % failed
        elapsed = time.time() - started
        left = [p for p in glob.glob(os.path.join(temp_folder() or '/nonexistent', 'dm_*'))]
        for path in left:
            shutil.rmtree(path, ignore_errors=True)
        lines.append('| %s | %s | %s | %s | %s | %.0f |' % (
            os.path.basename(exe), shown, code, 'yes' if os.path.exists(stamp) else 'no',
            ' / '.join(boxes) or '-', elapsed))
        print(lines[-1], flush=True)
        shutil.rmtree(out, ignore_errors=True)
    with open(results, 'w') as f:
        f.write('\n'.join(lines) + '\n')
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--sizes', default='256,512,768,1024,1280,1536,1792')
    parser.add_argument('--inside', nargs='+')
    args = parser.parse_args()
    if args.inside:
        if not os.environ.get('LIMIT_INSIDE_XVFB'):
            os.environ['LIMIT_INSIDE_XVFB'] = '1'
            os.execvp('xvfb-run', ['xvfb-run', '-a', '-s', '-screen 0 1024x768x24', sys.executable] + sys.argv)
        return inside(args.inside[0], args.inside[1:])
    sizes = [int(s) for s in args.sizes.split(',')]
    built = build(sizes)
    results = os.path.join(LIMIT, 'results.txt')
    installers = [path for _, plain, aware in built for path in (plain, aware)]
    cache = os.path.join(BUILD, 'vm')
    prefixes = '/tmp/wine-limit'
    job = ('set -e; export WINE=/usr/lib/wine/wine WINEARCH=win64 WINE_PREFIX_SEED=%s/prefix-wow64.tar '
           'LC_ALL=pl_PL.UTF-8 WINDRIVER_PATIENCE=10 WINEPREFIX=%s/x11 WINE_GRAPHICS=x11; '
           '%s/tools/wine-prefix %s/x11 x11; python3 %s --inside %s %s'
           % (cache, prefixes, ROOT, prefixes, os.path.abspath(__file__), results,
              ' '.join(installers)))
    env = dict(os.environ, VM_MEMORY=os.environ.get('VM_MEMORY', '14000'))
    subprocess.run([os.path.join(ROOT, 'tools', 'vm', 'run'), BUILD, 'bash', '-c', job], env=env)
    header = ('| installer | dialog | exit code | second stage started | boxes | seconds |\n'
              '|---|---|---|---|---|---:|\n')
    with open(results) as f:
        table = header + f.read()
    with open(os.path.join(BUILD, 'bench', 'limit.md'), 'w') as f:
        f.write(table)
    print(table)
    return 0


if __name__ == '__main__':
    sys.exit(main())
