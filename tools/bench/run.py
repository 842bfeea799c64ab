#!/usr/bin/env python3
"""How close an installation comes to the cost of extraction alone.

Builds once and caches under build/bench/: about 40 MB of product files, a
cabinet of them (MSZIP, with a second stage that only stamps its start), and an x86-64
installer around it (a release build, as shipped). Then, under Wine in an X
server (Xvfb when there is no display), alternately and several times each:

  (a) the installer: "Instaluj" pressed, until the second stage starts (it
      writes the moment and the installer's peak working set) and until the
      installer's process has ended;
  (b) the platform's FDICopy alone on the same cabinet into a fresh
      directory, with plain callbacks (tools/bench/fdicopy.cpp);
  (c) Wine's extrac32 /E /L on the same cabinet, for reference;
  (d) the installer's own code timed phase by phase (tools/bench/phases.cpp).

Prints medians, the ratio (a)/(b), each phase's share, the peak working set
and the number of progress updates, and writes them to
build/bench/results.md (results-many.md for --payload many).

Everything (the X server, the Wine server, every contender) runs on one CPU
unless --cpus says otherwise: see pin().

The temporary folder, where every contender writes, is a file system of
its own unless --fs says otherwise: see temp_file_system().

Usage: run.py [--runs N] [--cpus N|all] [--fs auto|journal|disk] [--payload large|many]
"""

import argparse
import atexit
import mmap
import os
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
sys.path.insert(0, os.path.join(ROOT, 'tools'))
sys.path.insert(0, os.path.join(ROOT, 'mkinstaller'))
from windriver import WINE_RUN, DIALOG, xdotool  # noqa: E402

BUILD = os.path.join(ROOT, 'build')
X64 = os.path.join(BUILD, 'x86_64')
BENCH = os.path.join(BUILD, 'bench')


def windows_path(path):
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def newer(target, *sources):
    return os.path.exists(target) and all(os.path.getmtime(target) >= os.path.getmtime(s) for s in sources)


# What each payload's files, cabinet and installer are called under build/bench/.
PAYLOADS = {'large': ('payload', 'bench.cab', 'medium', []),
            'many': ('payload-many', 'many.cab', 'medium-many', ['--many'])}


def prepare(kind='large', method='mszip'):
    """The payload's files, its cabinet compressed by `method` (as mkcab's
    --compress takes it) and an installer around it, each made when stale."""
    os.makedirs(BENCH, exist_ok=True)
    folder, cab_name, exe_folder, generator_options = PAYLOADS[kind]
    if method != 'mszip':
        tag = method.replace(':', '')
        cab_name = cab_name.replace('.cab', '-%s.cab' % tag)
        exe_folder += '-' + tag
    payload = os.path.join(BENCH, folder)
    generator = os.path.join(HERE, 'make_payload.py')
    if not newer(payload, generator):
        shutil.rmtree(payload, ignore_errors=True)
        subprocess.run([sys.executable, generator] + generator_options + [payload], check=True)
    cab = os.path.join(BENCH, cab_name)
    # The second stage is one that only stamps its start (stage.cpp): the
    # tests' stand-in would add its own libraries' loading to (a).
    stage = os.path.join(X64, 'bench_stage.exe')
    encoder = [os.path.join(BUILD, 'prebuilt', 'lzxpack')] if method.startswith('lzx') else []
    if not newer(cab, payload, stage, os.path.join(ROOT, 'mkinstaller', 'mkcab.py'), *encoder):
        subprocess.run([sys.executable, os.path.join(ROOT, 'mkinstaller', 'mkcab.py'), '--compress', method,
                        '--add', 'MERVOLT.EXE=' + stage, cab, payload], check=True)
    exe = os.path.join(BENCH, exe_folder, 'instalator.exe')
    os.makedirs(os.path.dirname(exe), exist_ok=True)
    if not newer(exe, cab, os.path.join(X64, 'instalator.exe')):
        subprocess.run([os.path.join(ROOT, 'mkinstaller', 'mkinstaller'), '--arch', 'x86_64', '--payload', cab,
                        '--out', exe], check=True)
    # The installer around the small demo payload, with the same second
    # stage: what a Wine process of it takes without a large payload.
    small = os.path.join(BENCH, 'small.cab')
    demo = os.path.join(ROOT, 'demo', 'payload')
    if not newer(small, stage, os.path.join(ROOT, 'mkinstaller', 'mkcab.py')):
        subprocess.run([sys.executable, os.path.join(ROOT, 'mkinstaller', 'mkcab.py'), '--mszip',
                        '--add', 'MERVOLT.EXE=' + stage, small, demo], check=True)
    baseline = os.path.join(BENCH, 'baseline', 'instalator.exe')
    os.makedirs(os.path.dirname(baseline), exist_ok=True)
    if not newer(baseline, small, os.path.join(X64, 'instalator.exe')):
        subprocess.run([os.path.join(ROOT, 'mkinstaller', 'mkinstaller'), '--arch', 'x86_64', '--payload', small,
                        '--out', baseline], check=True)
    size = sum(os.path.getsize(os.path.join(top, f)) for top, _, files in os.walk(payload) for f in files)
    count = sum(len(files) for _, _, files in os.walk(payload))
    return cab, exe, baseline, size, count


def under_xvfb(cpus):
    """Pins this script to `cpus` (pin()), runs it again inside Xvfb when
    there is no display, and gives it the benchmark's prefix; returns what
    pin() says of the CPUs."""
    # Before the X server starts, so that it runs where the rest does.
    described = pin(cpus)
    if not os.environ.get('DISPLAY') and not os.environ.get('BENCH_INSIDE_XVFB'):
        os.environ['BENCH_INSIDE_XVFB'] = '1'
        os.execvp('xvfb-run', ['xvfb-run', '-a', '-s', '-screen 0 1024x768x24', sys.executable] + sys.argv)
    # A prefix of its own whose windows are unmanaged: without a window
    # manager Wine would wait two seconds for one when the dialog hides.
    os.environ.setdefault('WINEPREFIX', os.path.join(BENCH, 'wine'))
    os.environ['WINE_GRAPHICS'] = 'x11-unmanaged'
    return described


def warm_prefix():
    """Starts the prefix's server and services to stay up for the whole
    benchmark, so that no run pays for (or is slowed by) their start.
    (Debian's wrapper starts every server with no persistence: each run
    would otherwise start the server and the prefix's services anew.)"""
    subprocess.run(['wineserver', '-k'], capture_output=True, timeout=30)
    subprocess.run(['wineserver', '-p'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=30)
    subprocess.run([WINE_RUN, 'cmd', '/c', 'exit'], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120)


def finish(report, name):
    """Stops the prefix's server, prints `report` and writes it to
    build/bench/`name`."""
    subprocess.run(['wineserver', '-k'], capture_output=True, timeout=30)
    print()
    print(report)
    with open(os.path.join(BENCH, name), 'w') as f:
        f.write(report + '\n')


def pin(cpus):
    """Keeps this process and all it starts on the first `cpus` CPUs ('all': no limit).

    A Wine program asks its server for most of what it does (a file opened or
    closed, a window painted, a process started), each a round trip. On this
    machine's virtual CPUs a round trip between two CPUs costs about 70 us (a
    wakeup across CPUs is 25-35 us each way), on one CPU about 10 us. Where
    the kernel puts a program and the server is its own choice, and it
    differs between runs and between contenders: the second stage's start
    took 29-99 ms in (a) and 23-25 ms with everything on one CPU. One CPU
    measures the programs' work rather than that choice; --cpus all
    measures with every CPU."""
    if cpus == 'all':
        return 'every CPU'
    if not cpus.isdigit() or int(cpus) < 1:
        sys.exit('--cpus takes a number of CPUs or all')
    allowed = sorted(os.sched_getaffinity(0))[:int(cpus)]
    os.sched_setaffinity(0, allowed)
    return '%d CPU%s (--cpus all: every CPU)' % (len(allowed), '' if len(allowed) == 1 else 's')


def temp_folder():
    return os.path.join(os.environ['WINEPREFIX'], 'drive_c', 'users', 'root', 'Temp')


def temp_file_system(choice, size=2 << 30):
    """Puts the prefix's temporary folder on a fresh ext4 with a journal ('journal',
    needs root and losetup) or leaves it on the machine's disk ('disk'); 'auto'
    takes the first when it can. Says which.

    This machine's disk is an ext4 without a journal. There the kernel, before
    it hands out an inode, passes over every inode of the group deleted in the
    last minutes (six, while their table blocks are unwritten). Each round of
    the benchmark deletes about 1,600 files, so every file any contender
    creates costs more the longer the benchmark has run: up to a third of the
    extraction, and most of the scatter between runs (timeline.py's "inode
    search"). An ext4 with a journal, like the file systems of Windows, has
    nothing of the kind. The file system is an image in build/bench/,
    loop-mounted over the folder once the prefix exists, and unmounted (after
    the prefix's server is stopped) and deleted when the benchmark ends."""
    if choice not in ('auto', 'journal', 'disk'):
        sys.exit('--fs takes auto, journal or disk')
    able = os.geteuid() == 0 and shutil.which('mkfs.ext4') is not None and shutil.which('losetup') is not None
    if choice == 'journal' and not able:
        sys.exit('--fs journal needs root, mkfs.ext4 and losetup; --fs disk uses the machine\'s disk')
    if choice == 'disk' or not able:
        return "%TEMP% on the machine's disk"
    folder = temp_folder()
    image = os.path.join(BENCH, 'temp.img')
    # What a killed benchmark may have left mounted and attached.
    while subprocess.run(['umount', folder], capture_output=True).returncode == 0:
        pass
    if os.path.exists(image):
        attached = subprocess.run(['losetup', '-j', image], capture_output=True, text=True).stdout
        for line in attached.splitlines():
            subprocess.run(['losetup', '-d', line.split(':')[0]], capture_output=True)
    with open(image, 'wb') as f:
        f.truncate(size)
    subprocess.run(['mkfs.ext4', '-q', '-F', image], check=True)
    # Direct I/O: the image's blocks are not cached a second time as pages of
    # the image file.
    device = subprocess.run(['losetup', '--direct-io=on', '--find', '--show', image],
                            capture_output=True, text=True, check=True).stdout.strip()
    subprocess.run(['mount', device, folder], check=True)

    def unmount():
        subprocess.run(['wineserver', '-k'], capture_output=True, timeout=30)
        if subprocess.run(['umount', folder], capture_output=True).returncode != 0:
            subprocess.run(['umount', '-l', folder], capture_output=True)
        subprocess.run(['losetup', '-d', device], capture_output=True)
        os.remove(image)
    atexit.register(unmount)
    return '%TEMP% on a fresh ext4 with a journal (--fs disk: on the machine\'s disk)'


def warm_memory(size):
    """Has `size` bytes of the machine's free memory touched and let go just
    before a timed run, so that what the run writes lands in memory the
    machine holds, whichever contender runs.

    This virtual machine hands free memory back to its host (free page
    reporting, in steps of about 750 MB some seconds after it is freed), and
    the first write to a page handed back waits for the host: writing 2 GB
    into a file takes 3.2 s then, and 0.25 s right after as much was freed.
    Every contender writes what it unpacks, and the installer its first
    volume as well, so unwarmed the benchmark would time the host's
    bookkeeping, and which contender ran after the other's files were
    deleted. A Windows machine of its own pays nothing of it."""
    if size <= 0:
        return
    block = bytes(1 << 20)
    with mmap.mmap(-1, size) as memory:
        for at in range(0, size - len(block) + 1, len(block)):
            memory[at:at + len(block)] = block


def run_installer(exe, patience=300, warm=0):
    stamp = os.path.join(BENCH, 'stamp.txt')
    if os.path.exists(stamp):
        os.remove(stamp)
    env = dict(os.environ, MERVOLT_STAMP=windows_path(stamp), MERVOLT_EXIT='0', WINEDEBUG='-all')
    with open(os.path.join(BENCH, 'wine.log'), 'w') as log:
        process = subprocess.Popen([WINE_RUN, exe], cwd=os.path.dirname(exe), env=env, stdout=log, stderr=log)
    dialog = None
    deadline = time.time() + 60
    while dialog is None and time.time() < deadline:
        found = xdotool('search', '--name', '^' + DIALOG + '$')
        dialog = found[0] if found else None
        time.sleep(0.1)
    if dialog is None:
        process.kill()
        raise RuntimeError('the dialog did not appear')
    time.sleep(1.0)
    warm_memory(warm)
    xdotool('windowactivate', '--sync', dialog)
    pressed = time.time()
    xdotool('key', '--window', dialog, 'Return')
    # A blocking wait: Popen.wait with a timeout polls, up to 50 ms apart.
    watchdog = threading.Timer(patience, process.kill)
    watchdog.start()
    process.wait()
    exited = time.time()
    watchdog.cancel()
    with open(stamp) as f:
        ticks, peak = (int(v) for v in f.read().split())
    started = ticks / 1e7 - 11644473600
    return (started - pressed) * 1000, (exited - pressed) * 1000, peak, process.returncode


def run_fdicopy(cab, warm=0):
    target = os.path.join(temp_folder(), 'bench-fdicopy')
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    warm_memory(warm)
    out = subprocess.run([WINE_RUN, os.path.join(X64, 'bench_fdicopy.exe'), windows_path(cab),
                          'C:\\users\\root\\Temp\\bench-fdicopy'], capture_output=True, text=True, check=True)
    shutil.rmtree(target, ignore_errors=True)
    return float(out.stdout.split()[-1])


def run_extrac32(cab):
    target = os.path.join(temp_folder(), 'bench-extrac32')
    shutil.rmtree(target, ignore_errors=True)
    os.makedirs(target)
    # Wine itself, in the environment wine-run would give it: (c) is timed as
    # a whole process, and the wrapper's two shells would add about 10 ms.
    env = dict(os.environ, LC_ALL='pl_PL.UTF-8')
    env.setdefault('WINEDEBUG', '-all')
    env.setdefault('WINEDLLOVERRIDES', 'mscoree,mshtml=')
    wine = os.environ.get('WINE', '/usr/lib/wine/wine64')
    started = time.time()
    subprocess.run([wine, 'extrac32', '/Y', '/E', '/L', 'C:\\users\\root\\Temp\\bench-extrac32',
                    windows_path(cab)], capture_output=True, check=True, env=env)
    elapsed = (time.time() - started) * 1000
    shutil.rmtree(target, ignore_errors=True)
    return elapsed


def run_phases(cab, trace=None):
    env = dict(os.environ, PHASES_TRACE=windows_path(trace)) if trace else None
    out = subprocess.run([WINE_RUN, os.path.join(X64, 'bench_phases.exe'), windows_path(cab)],
                         capture_output=True, text=True, check=True, env=env).stdout
    phases, counts = {}, {}
    for line in out.splitlines():
        if line.startswith('phase '):
            name, value = line[6:].rsplit(' ', 1)
            phases[name] = float(value)
        elif line:
            key, value = line.split()
            counts[key] = int(value)
    return phases, counts


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--runs', type=int, default=5)
    parser.add_argument('--cpus', default='1', help='how many CPUs to run on, or all (default 1)')
    parser.add_argument('--payload', default='large', choices=sorted(PAYLOADS),
                        help='large (the default: 404 files, 43 MB) or many (5,000 small files)')
    parser.add_argument('--fs', default='auto', help='where %%TEMP%% is: journal, disk or auto (default)')
    parser.add_argument('--compress', default='mszip', help='the cabinet\'s compression (default mszip)')
    opts = parser.parse_args()
    cpus = under_xvfb(opts.cpus)
    cab, exe, baseline, payload_size, payload_files = prepare(opts.payload, opts.compress)
    suffix = ('' if opts.payload == 'large' else '-' + opts.payload) + \
        ('' if opts.compress == 'mszip' else '-' + opts.compress.replace(':', ''))
    cab_size = os.path.getsize(cab)
    warm_prefix()
    where = temp_file_system(opts.fs)
    time.sleep(2)

    starts, exits, peaks, floors, references, phase_runs, count_runs = [], [], [], [], [], [], []
    for i in range(opts.runs):
        start, end, peak, code = run_installer(exe)
        if code != 1:
            raise RuntimeError('the installer exited with %d' % code)
        starts.append(start)
        exits.append(end)
        peaks.append(peak)
        floors.append(run_fdicopy(cab))
        references.append(run_extrac32(cab))
        phases, counts = run_phases(cab)
        phase_runs.append(phases)
        count_runs.append(counts)
        print('run %d: installer %.0f ms to the second stage, %.0f ms to exit; FDICopy %.0f ms; '
              'extrac32 %.0f ms' % (i + 1, start, end, floors[-1], references[-1]), flush=True)

    baseline_runs = [run_installer(baseline) for _ in range(3)]
    baseline_peaks = [r[2] for r in baseline_runs]
    # What the bar showed over time, from one more phase run, and its plot.
    trace = os.path.join(BENCH, 'bar-trace%s.txt' % suffix)
    run_phases(cab, trace)
    subprocess.run([sys.executable, os.path.join(ROOT, 'tools', 'bench', 'plot_bar.py'),
                    os.path.join(BENCH, 'bar%s.png' % suffix), 'this build=' + trace], check=True)
    median = statistics.median
    a, b = median(starts), median(floors)
    fixed = median([r[0] for r in baseline_runs])
    lines = []
    lines.append('payload: %d files, %.1f MB, in a cabinet of %.1f MB (%s); %d runs each, medians; on %s; %s'
                 % (payload_files, payload_size / 1e6, cab_size / 1e6, opts.compress, opts.runs, cpus, where))
    lines.append('')
    lines.append('| measure | ms |')
    lines.append('|---|---:|')
    lines.append('| (a) installer: "Instaluj" to the second stage\'s start | %.0f |' % a)
    lines.append('| (a) installer: "Instaluj" to the end of its process | %.0f |' % median(exits))
    lines.append('| (b) FDICopy alone, plain callbacks | %.0f |' % b)
    lines.append('| (c) extrac32 /E /L (whole process) | %.0f |' % median(references))
    lines.append('')
    lines.append('ratio (a)/(b), to the second stage\'s start: %.2f; to the end of the process: %.2f'
                 % (a / b, median(exits) / b))
    # The machine's speed drifts between runs; each run times (a), (b) and (c)
    # one after the other, so their ratios within a run drift less.
    lines.append('the same, as the median of each run\'s own ratio: %.2f; (a)/(c) likewise: %.2f'
                 % (median([s / f for s, f in zip(starts, floors)]),
                    median([s / r for s, r in zip(starts, references)])))
    lines.append('(e) the same installer around the 0.1 MB demo payload, "Instaluj" to the second stage\'s '
                 'start: %.0f ms (what does not grow with the payload: the key reaching the dialog, the '
                 'second stage\'s process start); ((a) - (e))/(b): %.2f' % (fixed, (a - fixed) / b))
    peak = median(peaks)
    base = median(baseline_peaks)
    lines.append('peak working set of the installer: %.1f MB = payload %.1f MB + %.1f MB'
                 % (peak / 1e6, cab_size / 1e6, (peak - cab_size) / 1e6))
    lines.append('the same installer around the 0.1 MB demo payload: %.1f MB (Wine\'s own share of a process); '
                 'growth with the payload: %.1f MB' % (base / 1e6, (peak - base) / 1e6))
    lines.append('')
    lines.append('The installer\'s own code phase by phase (tools/bench/phases.cpp, medians):')
    lines.append('')
    lines.append('| phase | ms | share |')
    lines.append('|---|---:|---:|')
    names = list(phase_runs[0].keys())
    totals = {n: median([p.get(n, 0.0) for p in phase_runs]) for n in names}
    work = sum(v for n, v in totals.items() if n != 'dialog shown')
    for n in names:
        if n == 'dialog shown':
            continue
        lines.append('| %s | %.0f | %.0f %% |' % (n, totals[n], 100 * totals[n] / work))
    extraction = totals.get('extraction into staging', 0.0)
    lines.append('')
    lines.append('the extraction phase alone over (b): %.0f / %.0f ms = %.2f' % (extraction, b, extraction / b))
    lines.append('')
    lines.append('progress updates sent to the bar: %d; repaints: %d'
                 % (median([c['progress-messages'] for c in count_runs]),
                    median([c['repaints'] for c in count_runs])))
    lines.append('')
    lines.append('The difference of the phases to (a): %.0f ms, of which %.0f ms, (e), does not grow with the '
                 'payload. What the bar showed over time: build/bench/bar-trace%s.txt, drawn in '
                 'build/bench/bar%s.png.'
                 % (a - sum(v for n, v in totals.items() if n not in ('dialog shown',
                                                                   'work directory removed, library unbound')),
                    fixed, suffix, suffix))
    finish('\n'.join(lines), 'results%s.md' % suffix)
    return 0


if __name__ == '__main__':
    sys.exit(main())
