#!/usr/bin/env python3
"""Cabinets the LZX encoder writes, unpacked by three families of decoders:
the platform's library under Wine (extrac32), cabextract (libmspack) and
bsdtar (libarchive); each must give back every file byte for byte. The
cases cover each window size, text, x86 and x86-64 code (the call
translation at work), data that does not compress, zeros, single bytes,
folders ending at and around a frame and a window, a window that wraps,
many small files, blocks laid out to end at frames' ends and to run over
several frames and a window's wrap, and past 1 GiB: a file that long,
which goes into a folder without the translation, and (the cap on
translating folders lifted) a translating folder that long, where the
platform's library and libmspack stop undoing the translation and
libarchive goes on, so bsdtar is left out there. The code lengths the
encoder builds are checked first (huffman_check.cpp), then that folders
coded ahead on several cores give the bytes of folders coded one at a
time, in one cabinet and in a set whose volumes' ends cut folders short of
their plan, and that folders the encoder is told to end early (as those
cuts do) unpack.

Usage: roundtrip.py WORK_DIR X86_CODE X86_64_CODE [CASE...]   (WINEPREFIX: a prefix)
"""

import hashlib
import os
import random
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, '..', '..'))
FRAME = 32768
GIB = 1 << 30
WORDS = ('int char return static const void struct include define if else for while break '
         'instalacja plik katalog program dane wersja okno przycisk').split()


def text(rng, size):
    lines = []
    length = 0
    while length < size:
        line = ' '.join(rng.choice(WORDS) for _ in range(rng.randint(2, 12))) + ';\r\n'
        lines.append(line)
        length += len(line)
    return ''.join(lines).encode('ascii')[:size]


def with_calls_at_frame_ends(rng, size):
    """Text with E8 bytes and call-like operands in the last bytes of every
    frame, which decoders leave alone."""
    data = bytearray(text(rng, size))
    for end in range(FRAME, size + FRAME, FRAME):
        end = min(end, size)
        for at in range(max(0, end - 16), end, 3):
            data[at] = 0xE8
    return bytes(data)


def calls_around_the_first_gib(path):
    """A sparse file of 1 GiB and 64 KiB: zeros, and x86 calls with small
    operands in the 64 KiB on either side of 1 GiB."""
    rng = random.Random(7)
    code = bytearray()
    while len(code) < 128 << 10:
        code += b'\xe8' + rng.randint(-4000, 4000).to_bytes(4, 'little', signed=True) + b'\x90\x55'
    with open(path, 'wb') as f:
        f.truncate(GIB + (64 << 10))
        f.seek(GIB - (64 << 10))
        f.write(code[:128 << 10])


def cases(x86, x86_64):
    """(name, window bits, {file name: bytes or a writer of the file})."""
    rng = random.Random(2027)
    repeated = rng.randbytes(1536 << 10)
    many = {'pliki\\%04d.txt' % i: text(rng, rng.randint(0, 2048)) for i in range(1500)}
    edges = [('frame-%d' % size, 15, {'f.bin': with_calls_at_frame_ends(rng, size)})
             for size in (FRAME - 1, FRAME, FRAME + 1)]
    edges += [('window-%d' % size, 21, {'w.bin': with_calls_at_frame_ends(rng, size)})
              for size in (2 * 1024 * 1024 - 1, 2 * 1024 * 1024, 2 * 1024 * 1024 + 1)]
    # Blocks laid out by size instead of by cost: ending exactly at every
    # frame's end (with a window of one frame, at every wrap too), ending
    # a byte after a frame's, and running over several frames and over
    # the wrap of a window of two frames.
    code = open(x86, 'rb').read()[:200000]
    mixed = code + rng.randbytes(40000) + text(rng, 160000)
    edges += [('blocks-%d' % size, bits, {'m.bin': mixed}, ['--block-size', str(size)])
              for bits, size in ((15, FRAME), (21, 2 * FRAME + 1), (16, 100000))]
    return [
        ('text', 21, {'a.txt': text(rng, 600000), 'b.txt': text(rng, 50000)}),
        ('x86', 16, {'x86.exe': open(x86, 'rb').read()}),
        ('x86-64', 21, {'x64.exe': open(x86_64, 'rb').read()}),
        ('random', 15, {'r.bin': rng.randbytes(300000), 's.txt': text(rng, 40000)}),
        ('zeros', 17, {'z.bin': bytes(3 << 20)}),
        ('single-bytes', 19, {'%d.bin' % b: bytes([b]) for b in (0, 0xE8, 0x41, 0xFF)}),
        ('wrapping', 21, {'a.bin': repeated, 'b.bin': repeated}),
        ('many-files', 20, many),
        ('past-1-gib', 18, {'duzy.bin': calls_around_the_first_gib}),
        ('translated-past-1-gib', 18, {'duzy.bin': calls_around_the_first_gib}),
    ] + edges


def digest(path):
    h = hashlib.sha256()
    with open(path, 'rb') as f:
        for chunk in iter(lambda: f.read(1 << 20), b''):
            h.update(chunk)
    return h.hexdigest()


def decoders(cab, out):
    """Each decoder's command that unpacks `cab` into `out`."""
    windows = lambda path: 'Z:' + path.replace('/', '\\')  # noqa: E731
    return [
        ('extrac32', [os.path.join(ROOT, 'tools', 'wine-run'), 'extrac32', '/Y', '/E', '/L', windows(out),
                      windows(cab)]),
        ('cabextract', ['cabextract', '-q', '-d', out, cab]),
        ('bsdtar', ['bsdtar', '-xf', cab, '-C', out]),
    ]


def same_bytes_whatever_jobs(work):
    """Packs files of many sizes in folders planned at 96 KiB (so dozens of
    them), as one cabinet and as a set of 80 KiB volumes, with --jobs 0
    (each folder coded when it is written), 1 and 3: the same bytes every
    time, and the set unpacks. Returns the failures."""
    rng = random.Random(34)
    source = os.path.join(work, 'jobs', 'files')
    os.makedirs(source)
    for i in range(40):
        size = rng.choice((0, 1, 5000, 40000, FRAME, 70000, 150000))
        with open(os.path.join(source, 'plik%02d.bin' % i), 'wb') as f:
            f.write(text(rng, size) if i % 3 else rng.randbytes(size))
    failures = []
    for volumes in ([], ['--volume-size', '80K']):
        packed = {}
        for jobs in ('0', '1', '3'):
            out = os.path.join(work, 'jobs', jobs)
            os.makedirs(out)
            subprocess.run([sys.executable, '-c', 'import sys; sys.path.insert(0, sys.argv[1]); import mkcab; '
                            'mkcab.PLANNED_FOLDER_BYTES = 96 << 10; sys.exit(mkcab.main(sys.argv[1:]))',
                            os.path.join(ROOT, 'mkinstaller'), '--compress', 'lzx:17', '--jobs', jobs] + volumes +
                           [os.path.join(out, 'set.cab'), source], check=True)
            packed[jobs] = {n: open(os.path.join(out, n), 'rb').read() for n in sorted(os.listdir(out))}
        what = 'a set of %d volumes' % len(packed['0']) if volumes else 'one cabinet'
        if not packed['0'] == packed['1'] == packed['3']:
            failures.append('%s: other bytes with other --jobs' % what)
        folders = struct.unpack_from('<H', packed['0']['set.cab'], 26)[0]
        if not volumes and folders < 10:
            failures.append('one cabinet: %d folders, not planned at 96 KiB' % folders)
        unpacked = os.path.join(work, 'jobs', 'out')
        done = subprocess.run(['cabextract', '-q', '-d', unpacked, os.path.join(work, 'jobs', '0', 'set.cab')],
                              capture_output=True, text=True)
        wrong = [n for n in os.listdir(source)
                 if not os.path.exists(os.path.join(unpacked, n)) or
                 digest(os.path.join(unpacked, n)) != digest(os.path.join(source, n))]
        if done.returncode or wrong:
            failures.append('%s: cabextract exit %d, %d files wrong %s' % (what, done.returncode, len(wrong),
                                                                         done.stderr.strip()[-200:]))
        for name in ('0', '1', '3', 'out'):
            shutil.rmtree(os.path.join(work, 'jobs', name), ignore_errors=True)
    shutil.rmtree(os.path.join(work, 'jobs'))
    return failures


def one_folder_cabinet(path, name, size, bits, frames):
    """Writes a cabinet of one LZX folder holding one file."""
    entry = struct.pack('<IIHHHH', size, 0, 0, 0x5A21, 0, 0x20) + name + b'\0'
    head_size = 36 + 8 + len(entry)
    data = b''.join(struct.pack('<IHH', 0, len(coded), frame) + coded for frame, coded in frames)
    header = struct.pack('<4sIIIIIBBHHHHH', b'MSCF', 0, head_size + len(data), 0, 44, 0, 3, 1, 1, 1, 0, 0x3D7B, 0)
    with open(path, 'wb') as f:
        f.write(header + struct.pack('<IHH', head_size, len(frames), 3 | bits << 8) + entry + data)


def folders_cut_short(work, x86):
    """The encoder told that a folder ends sooner than its input (as when
    a volume's end cuts it short): every frame before the last as planned,
    the last one ending there. Ends around frames' ends (where the last 10
    bytes are not translated), around a run of frames' end, in code full of
    calls, in a stored block and at 1 byte. Each folder is unpacked by the
    three decoders. Returns the failures."""
    rng = random.Random(35)
    data = open(x86, 'rb').read()[:300000] + rng.randbytes(70000) + text(rng, 100000)
    whole = subprocess.run([os.environ.get('LZXPACK', 'lzxpack'), '--window', '17'], input=data,
                           capture_output=True, check=True).stdout
    # Calls just before the end: in the last 10 bytes of the folder's last
    # frame they are not translated, where the whole folder's frame had them.
    calls = [at for at in range(2 * FRAME + 100, 300000) if data[at] == 0xE8 and (at + 10) % FRAME > 16]
    failures = []
    for end in (1, FRAME - 11, FRAME - 10, FRAME - 1, FRAME + 1, 4 * FRAME - 5, 4 * FRAME + 3,
                calls[0] + 6, calls[1] + 10, calls[2] + 11, 300000 + 30000, len(data) - 1):
        done = subprocess.run([os.environ.get('LZXPACK', 'lzxpack'), '--window', '17', '--end', str(end)],
                              input=data, capture_output=True)
        frames = []
        answer = done.stdout
        while answer:
            coded_size, size = struct.unpack_from('<II', answer)
            frames.append((size, answer[8:8 + coded_size]))
            answer = answer[8 + coded_size:]
        folder = os.path.join(work, 'cut-%d' % end)
        os.makedirs(folder)
        if done.returncode != 0 or sum(size for size, _ in frames) != end:
            failures.append('--end %d: exit %d, %d bytes %s' % (end, done.returncode,
                                                               sum(size for size, _ in frames),
                                                               done.stderr.decode().strip()))
            continue
        if not whole.startswith(b''.join(struct.pack('<II', len(c), s) + c for s, c in frames[:-1])):
            failures.append('--end %d: the frames before the last differ from the whole folder\'s' % end)
        cab = os.path.join(folder, 'cut.cab')
        one_folder_cabinet(cab, b'cut.bin', end, 17, frames)
        expected = hashlib.sha256(data[:end]).hexdigest()
        out_folder = os.path.join(folder, 'out')
        for decoder, command in decoders(cab, out_folder):
            os.makedirs(out_folder)
            ran = subprocess.run(command, capture_output=True, text=True)
            out = os.path.join(out_folder, 'cut.bin')
            if ran.returncode != 0 or not os.path.exists(out) or digest(out) != expected:
                failures.append('--end %d: %s exit %d, %s' % (end, decoder, ran.returncode,
                                                             'wrong bytes' if os.path.exists(out) else 'no file'))
            shutil.rmtree(out_folder)
        shutil.rmtree(folder)
    return failures


def run_case(work, name, bits, files, options):
    source = os.path.join(work, name, 'files')
    os.makedirs(source)
    expected = {}
    for stored, content in files.items():
        path = os.path.join(source, *stored.split('\\'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if callable(content):
            content(path)
        else:
            with open(path, 'wb') as f:
                f.write(content)
        expected[stored.replace('\\', '/')] = digest(path)
    cab = os.path.join(work, name, 'packed.cab')
    lifted = name.startswith('translated-')
    subprocess.run([sys.executable, '-c', 'import sys; sys.path.insert(0, sys.argv[1]); import mkcab; '
                    'mkcab.TRANSLATED_FOLDER_BYTES = None if sys.argv[2] == "lifted" else '
                    'mkcab.TRANSLATED_FOLDER_BYTES; mkcab.ENCODER_OPTIONS = sys.argv[3].split(); '
                    'sys.exit(mkcab.main(sys.argv[3:]))',
                    os.path.join(ROOT, 'mkinstaller'), 'lifted' if lifted else 'mkcab', ' '.join(options),
                    '--compress', 'lzx:%d' % bits, cab, source], check=True)
    failures = []
    out = os.path.join(work, name, 'out')
    for decoder, command in decoders(cab, out):
        if lifted and decoder == 'bsdtar':
            continue
        os.makedirs(out)
        done = subprocess.run(command, capture_output=True, text=True)
        got = {}
        for top, _, found in os.walk(out):
            for f in found:
                got[os.path.relpath(os.path.join(top, f), out).replace(os.sep, '/')] = digest(os.path.join(top, f))
        if done.returncode != 0 or got != expected:
            wrong = sorted(set(expected.items()) ^ set(got.items()))
            failures.append('%s: exit %d, %d files wrong (%s) %s'
                            % (decoder, done.returncode, len(wrong), ', '.join(p for p, _ in wrong[:3]),
                               (done.stderr or done.stdout).strip()[-200:]))
        shutil.rmtree(out)
    packed = os.path.getsize(cab)
    size = sum(os.path.getsize(os.path.join(top, f)) for top, _, fs in os.walk(source) for f in fs)
    shutil.rmtree(os.path.join(work, name))
    return failures, size, packed


def main(argv):
    work, x86, x86_64 = argv[1:4]
    only = argv[4:]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    check = os.path.join(work, 'huffman_check')
    subprocess.run([os.environ.get('CXX', 'c++'), '-O1', '-std=c++17', '-I', ROOT, '-o', check,
                    os.path.join(HERE, 'huffman_check.cpp'), os.path.join(ROOT, 'mkinstaller', 'lzx', 'huffman.cpp')],
                   check=True)
    status = 0 if subprocess.run([check]).returncode == 0 else 1
    if not only or 'jobs' in only:
        failures = same_bytes_whatever_jobs(work)
        print('%-14s folders coded ahead, --jobs 0, 1, 3: %s' % ('jobs', 'FAIL' if failures else 'ok'), flush=True)
        for failure in failures:
            print('  ' + failure)
            status = 1
    if not only or 'cuts' in only:
        failures = folders_cut_short(work, x86)
        print('%-14s folders ended by --end: %s' % ('cuts', 'FAIL' if failures else 'ok'), flush=True)
        for failure in failures:
            print('  ' + failure)
            status = 1
    for name, bits, files, *options in cases(x86, x86_64):
        if only and name not in only:
            continue
        failures, size, packed = run_case(work, name, bits, files, options[0] if options else [])
        print('%-14s lzx:%d %11d -> %9d bytes  %s' % (name, bits, size, packed, 'ok' if not failures else 'FAIL'),
              flush=True)
        for failure in failures:
            print('  ' + failure)
            status = 1
    return status


if __name__ == '__main__':
    sys.exit(main(sys.argv))
