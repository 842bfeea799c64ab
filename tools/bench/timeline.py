#!/usr/bin/env python3
"""Where the real installer's time goes, from the kernel's side.

The phase program (phases.cpp) times the installer's code in a process of its
own, pressed the moment its dialog exists; (a) is the shipped installer,
pressed by a key after its dialog has stood a second. This runs (a) and the
floor (b) as run.py does, alternately, under `perf record` on the whole
machine (no change to either program), and splits each run by what the
file system sees:

  key          the key press (xdotool starting) to the work directory made
  payload      the work directory to the staging directory: the embedded
               cabinet written, the companion files copied
  extraction   the staging directory to the first move out of it
  hand-over    the moves, the dialog hidden, the second stage's process forked
  start        that fork to the second stage's first act (its stamp)

and, inside the extraction, the CPU time of the installer's process (and the
part of it spent drawing: win32u, winex11, Xlib), of the Wine server, and of
the server in ext4's search for a free inode (which, on a file system without
a journal, passes over every inode deleted in the last minutes), against the
same for (b)'s FDICopy.

Runs on one CPU, with the temporary folder on a file system of its own, as
run.py does, unless --cpus and --fs say otherwise.

Needs root and `perf` (linux-perf).
Usage: timeline.py [--runs N] [--cpus N|all] [--fs auto|journal|disk] [--installer EXE]
"""

import argparse
import collections
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

import run as bench

QUIET = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
EVENTS = ','.join(['syscalls:sys_enter_mkdir', 'syscalls:sys_enter_openat', 'syscalls:sys_enter_rename',
                   'syscalls:sys_enter_execve', 'cpu-clock/period=250000/'])
SAMPLE_MS = 0.25
SERVER = 'wineserver64'
DRAWING = re.compile(r'win32u\.so|winex11\.so|libX11')
INODE_SEARCH = re.compile(r'\b(find_inode_bit|recently_deleted|find_get_block_common|__brelse|'
                          r'ext4_get_group_desc|ext4_inode_table|_find_next_zero_bit)\b')
LINE = re.compile(r'\s*(.+?)\s+(\d+\.\d+):\s+(\S+?):\s+(.*)')


def read_events(data):
    out = subprocess.run(['perf', 'script', '-i', data, '-F', 'comm,time,event,ip,sym,dso'],
                         capture_output=True, text=True, check=True).stdout
    events = []
    for line in out.splitlines():
        m = LINE.match(line)
        if m:
            kind = m.group(3).split('/')[0].replace('syscalls:sys_enter_', '')
            events.append((float(m.group(2)), m.group(1), kind, m.group(4)))
    return events


def cpu(events, start, end, who, pattern=None):
    return SAMPLE_MS * sum(1 for t, comm, kind, rest in events
                           if kind == 'cpu-clock' and start <= t <= end and comm == who
                           and (pattern is None or pattern.search(rest)))


def split_installer(events, seconds):
    """The installer's run in file-system steps, in ms; `seconds` is (a)."""
    mine = [t for t, comm, _, _ in events if comm == 'instalator.exe']
    first, last = mine[0], mine[-1]
    server = [(t, kind) for t, comm, kind, _ in events if comm == SERVER and first <= t <= last]
    made = [t for t, kind in server if kind == 'mkdir']
    # The key is pressed as xdotool starts; (a) is timed from just before.
    key = max(t for t, comm, kind, _ in events if comm == 'python3' and kind == 'execve' and t < made[0])
    # Once the staging directory is made, the installer starts no process
    # but the second stage.
    fork = min(t for t, comm, kind, _ in events if comm == 'instalator.exe' and kind == 'execve' and t > made[1])
    # The moves out of staging come just before it (the server's other
    # renames, of its registry files when it saves them, are rare).
    moved = [t for t, kind in server if kind == 'rename' and made[1] < t < fork]
    steps = collections.OrderedDict()
    steps['key'] = made[0] - key
    steps['payload'] = made[1] - made[0]
    steps['extraction'] = moved[0] - made[1]
    steps['hand-over'] = fork - moved[0]
    steps['start'] = key + seconds - fork
    return collections.OrderedDict((n, v * 1000) for n, v in steps.items()), (made[1], moved[0])


def floor_window(events):
    mine = [t for t, comm, _, _ in events if comm == 'bench_fdicopy.e']
    server = [(t, kind) for t, comm, kind, _ in events if comm == SERVER and mine[0] <= t <= mine[-1]]
    return ([t for t, kind in server if kind == 'mkdir'][0], [t for t, kind in server if kind == 'openat'][-1])


def extraction_costs(events, window, who):
    start, end = window
    return {'own': cpu(events, start, end, who), 'drawing': cpu(events, start, end, who, DRAWING),
            'server': cpu(events, start, end, SERVER),
            'inode search': cpu(events, start, end, SERVER, INODE_SEARCH)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--cpus', default='1', help='how many CPUs to run on, or all (default 1)')
    parser.add_argument('--fs', default='auto', help='where %%TEMP%% is: journal, disk or auto (default)')
    parser.add_argument('--installer', help='another installer to time in place of the benchmark\'s')
    opts = parser.parse_args()
    cpus = bench.pin(opts.cpus)
    if not os.environ.get('DISPLAY') and not os.environ.get('BENCH_INSIDE_XVFB'):
        os.environ['BENCH_INSIDE_XVFB'] = '1'
        os.execvp('xvfb-run', ['xvfb-run', '-a', '-s', '-screen 0 1024x768x24', sys.executable] + sys.argv)
    if shutil.which('perf') is None or os.geteuid() != 0:
        print('timeline.py: needs root and perf (tools/install-deps installs linux-perf)', file=sys.stderr)
        return 2
    os.environ.setdefault('WINEPREFIX', os.path.join(bench.BENCH, 'wine'))
    os.environ['WINE_GRAPHICS'] = 'x11-unmanaged'
    cab, exe, _, _, _ = bench.prepare()
    exe = os.path.abspath(opts.installer) if opts.installer else exe
    subprocess.run(['wineserver', '-k'], capture_output=True, timeout=30)
    subprocess.run(['wineserver', '-p'], timeout=30, **QUIET)
    subprocess.run([bench.WINE_RUN, 'cmd', '/c', 'exit'], timeout=120, **QUIET)
    where = bench.temp_file_system(opts.fs)
    time.sleep(2)
    # perf itself works on the CPUs the contenders do not use, when there are any.
    observer = (set(range(os.cpu_count())) - os.sched_getaffinity(0)) or set(range(os.cpu_count()))
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        for i in range(opts.runs):
            data = os.path.join(scratch, 'perf.data')
            perf = subprocess.Popen(['perf', 'record', '-q', '-a', '-e', EVENTS, '-o', data],
                                    preexec_fn=lambda: os.sched_setaffinity(0, observer), **QUIET)
            time.sleep(0.5)
            a, _, _, code = bench.run_installer(exe)
            floor = bench.run_fdicopy(cab)
            perf.send_signal(signal.SIGINT)
            perf.wait()
            if code != 1:
                raise RuntimeError('the installer exited with %d' % code)
            events = read_events(data)
            steps, window = split_installer(events, a / 1000)
            rows.append((a, floor, steps, extraction_costs(events, window, 'instalator.exe'),
                         extraction_costs(events, floor_window(events), 'bench_fdicopy.e')))
            print('run %d: (a) %.0f ms = %s; (b) %.0f ms' % (
                i + 1, a, ' + '.join('%s %.0f' % kv for kv in steps.items()), floor), flush=True)
    subprocess.run(['wineserver', '-k'], capture_output=True, timeout=30)
    median = statistics.median
    print()
    print('medians of %d runs on %s; %s; ms' % (len(rows), cpus, where))
    print()
    print('| (a) "Instaluj" to the second stage | %.0f |' % median(r[0] for r in rows))
    for name in rows[0][2]:
        print('| %s | %.0f |' % (name, median(r[2][name] for r in rows)))
    print('| (b) FDICopy alone | %.0f |' % median(r[1] for r in rows))
    print()
    print('inside the extraction (CPU ms) | installer | (b) |')
    print('|---|---:|---:|')
    for name in rows[0][3]:
        print('| %s | %.0f | %.0f |' % (name, median(r[3][name] for r in rows), median(r[4][name] for r in rows)))
    print()
    print('extraction in (a) over (b): %.2f (median of each run\'s own ratio)'
          % median(r[2]['extraction'] / r[1] for r in rows))
    return 0


if __name__ == '__main__':
    sys.exit(main())
