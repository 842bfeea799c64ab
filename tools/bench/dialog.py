#!/usr/bin/env python3
"""How soon the installer's dialog shows, and how still it ever stands.

Builds once under build/bench/dialog/, with mkinstaller/mkinstaller (stored, so
that the payload's size is the product's): a small installer (a second
stage alone) and one carrying a payload of 700 MiB (random bytes and a
second stage). The second stage is the benchmark's (tools/bench/stage.cpp),
which ends at once. Then the probe (tools/bench/probe.cpp) starts each,
alternately:

  shown   from the installer's start to its dialog on screen, for both;
  still   with "Instaluj" pressed, the longest time between two answers
          to the empty messages the probe sends the dialog all through the
          run, until the dialog hides for the second stage (the longest
          the dialog handled no messages, to within a millisecond).

x86-64: under Wine in Xvfb, in the benchmark's prefix, on one CPU, as
run.py runs. i686 (--arch i686): in the virtual machine that runs 32-bit
code (tools/vm/run), its temporary folder in its memory; about ten times
slower than the host.

Writes build/bench/dialog-ARCH.md.

Usage: dialog.py [--arch x86_64|i686] [--runs N] [--also LABEL=INSTALLER.exe ...]
       (--also adds an installer built elsewhere, an older one for instance)
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, 'tools'))
import run  # noqa: E402

DIALOG = os.path.join(run.BENCH, 'dialog')
LARGE = 700 << 20


def build(arch):
    """The two installers of `arch`, made once: {label: path}."""
    os.makedirs(DIALOG, exist_ok=True)
    stage = os.path.join(run.BUILD, arch, 'bench_stage.exe')
    if not os.path.exists(stage):
        sys.exit('dialog.py: build the %s product first (make build)' % arch)
    made = {}
    for label, size in (('small', 0), ('700 MiB', LARGE)):
        exe = os.path.join(DIALOG, '%s-%s.exe' % ('small' if size == 0 else 'large', arch))
        made[label] = exe
        if run.newer(exe, stage, os.path.join(ROOT, 'mkinstaller', 'pe_writer.py')):
            continue
        product = os.path.join(DIALOG, 'product')
        shutil.rmtree(product, ignore_errors=True)
        os.makedirs(product)
        shutil.copyfile(stage, os.path.join(product, 'MERVOLT.EXE'))
        if size:
            with open(os.path.join(product, 'dane.bin'), 'wb') as f:
                for _ in range(size >> 20):
                    f.write(os.urandom(1 << 20))
        subprocess.run([sys.executable, os.path.join(ROOT, 'mkinstaller', 'mkinstaller'), '--from', product,
                        '--compress', 'none', '--arch', arch, '--out', exe], check=True)
        shutil.rmtree(product)
    return made


def probe(exe, press, wine):
    """One run of the probe: its figures as a dict of numbers."""
    command = wine + [os.path.join(run.BUILD, ARCH, 'bench_probe.exe'), exe] + (['--run'] if press else [])
    out = subprocess.run(command, cwd=os.path.dirname(exe), capture_output=True, text=True, timeout=3600,
                         env=dict(os.environ, WINEDEBUG='-all', MERVOLT_EXIT='0'))
    figures = dict((k, float(v)) for k, v in re.findall(r'(\w+)=([-\d.]+)', out.stdout))
    if 'shown_ms' not in figures:
        raise RuntimeError('the probe failed on %s: %s %s' % (exe, out.stdout, out.stderr))
    return figures


def measure(installers, runs, wine):
    """{label: {'shown': [...], 'still': [...], 'run': [...]}} over `runs`
    rounds, the installers taken in turn."""
    results = {label: {'shown': [], 'still': [], 'run': []} for label in installers}
    for round_ in range(runs):
        for label, exe in installers.items():
            results[label]['shown'].append(probe(exe, False, wine)['shown_ms'])
        for label, exe in installers.items():
            figures = probe(exe, True, wine)
            results[label]['still'].append(figures['still_ms'])
            results[label]['run'].append(figures['run_ms'])
        print('round %d of %d: %s' % (round_ + 1, runs, ', '.join(
            '%s shown %.0f ms, still at most %.0f ms' % (label, r['shown'][-1], r['still'][-1])
            for label, r in results.items())), flush=True)
    return results


def report(results, arch, where, runs):
    lines = ['# The dialog: how soon it shows, how still it stands (%s)' % arch, '',
             '%s; %d runs each, median (min-max). "shown": from the start to the dialog on screen. '
             '"still": the longest time the dialog answered no message, from "Instaluj" to the '
             'hand-over. "run": from "Instaluj" to the hand-over.' % (where, runs), '',
             '| installer | shown, ms | still, ms | run, ms |', '|---|---:|---:|---:|']

    def cell(values):
        return '%.0f (%.0f-%.0f)' % (statistics.median(values), min(values), max(values))

    for label, r in results.items():
        lines.append('| %s | %s | %s | %s |' % (label, cell(r['shown']), cell(r['still']), cell(r['run'])))
    return '\n'.join(lines)


ARCH = 'x86_64'


def main():
    global ARCH
    parser = argparse.ArgumentParser()
    parser.add_argument('--arch', choices=('x86_64', 'i686'), default='x86_64')
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--also', action='append', default=[], metavar='LABEL=INSTALLER.exe')
    parser.add_argument('--inside', help=argparse.SUPPRESS)
    args = parser.parse_args()
    ARCH = args.arch
    if args.inside:
        # In the virtual machine: the installers named in the file, measured.
        with open(args.inside) as f:
            installers = dict(line.rstrip('\n').split('=', 1) for line in f if '=' in line)
        results = measure(installers, args.runs, [os.path.join(ROOT, 'tools', 'wine-run')])
        with open(args.inside + '.md', 'w') as f:
            f.write(report(results, ARCH, 'in the virtual machine (32-bit Wine, no KVM)', args.runs) + '\n')
        return 0

    installers = build(args.arch)
    for also in args.also:
        label, _, path = also.partition('=')
        installers[label] = os.path.abspath(path)
    name = 'dialog-%s.md' % args.arch
    if args.arch == 'x86_64':
        where = 'x86-64 under Wine in Xvfb, ' + run.under_xvfb('1')
        run.warm_prefix()
        results = measure(installers, args.runs, [run.WINE_RUN])
        run.finish(report(results, args.arch, where, args.runs), name)
        return 0

    listing = os.path.join(DIALOG, 'installers-i686.txt')
    with open(listing, 'w') as f:
        f.write(''.join('%s=%s\n' % item for item in installers.items()))
    cache = os.path.join(run.BUILD, 'vm')
    job = ('set -e; export WINE=/usr/lib/wine/wine WINEARCH=win64 WINE_PREFIX_SEED=%s/prefix-wow64.tar '
           'LC_ALL=pl_PL.UTF-8 WINEPREFIX=/tmp/wine-dialog/x11 WINE_GRAPHICS=x11-unmanaged; '
           '%s/tools/wine-prefix /tmp/wine-dialog/x11 x11-unmanaged; '
           'xvfb-run -a -s "-screen 0 1024x768x24" python3 %s --arch i686 --runs %d --inside %s'
           % (cache, ROOT, os.path.abspath(__file__), args.runs, listing))
    env = dict(os.environ, VM_MEMORY=os.environ.get('VM_MEMORY', '14000'))
    subprocess.run([os.path.join(ROOT, 'tools', 'vm', 'run'), run.BUILD, 'bash', '-c', job], env=env, check=True)
    with open(listing + '.md') as f:
        table = f.read()
    with open(os.path.join(run.BENCH, name), 'w') as f:
        f.write(table)
    print(table)
    return 0


if __name__ == '__main__':
    sys.exit(main())
