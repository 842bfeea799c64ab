#!/usr/bin/env python3
"""Writes a cabinet file, or a set of volumes: stored, MSZIP or LZX.

Usage: mkcab.py [options] OUTPUT.cab ROOT [FILE ...]

Each FILE is a path below ROOT and is stored under that relative name, with
"\\" as separator (as UTF-8, flagged so, when it goes beyond ASCII), its
modification time (local time) and its read-only, hidden, system and archive
attributes (from the user.DOSATTRIB extended attribute that Wine keeps, else
archive, and read-only from the write permission). Without FILEs every file
below ROOT is stored, in sorted order.

Options:
  --add NAME=PATH     also store the file PATH under NAME
  --attrib NAME=BITS  store NAME with these attribute bits (e.g. 0x22)
  --compress METHOD   none (the default: stored), mszip, or lzx[:BITS] with a
                      window of 2^BITS bytes, 15 to 21 (default 21)
  --mszip             the same as --compress mszip
  --set-id N          the set id (default 0x3D7B)
  --index N           the volume's index in its set (default 0)
  --prev NAME         name of the previous volume
  --next NAME         name of the next volume
  --volume-size SIZE  make a set of volumes of at most SIZE bytes each (a
                      number, or with K, M or G for KiB, MiB, GiB): OUTPUT
                      is the first, the others are written beside it
  --volume-names PAT  their names: PAT with "{}" for the volume's number,
                      from 2 (default: OUTPUT's name with -2, -3, ...)
  --source-times      store no file time later than SOURCE_DATE_EPOCH (the
                      time of the sources), so that a fresh checkout of the
                      same sources packs the same bytes
  --jobs N            code up to N LZX folders at once, ahead of writing
                      them (default: every core; 0: each only when it is
                      written); the bytes are the same whatever N

Data blocks hold at most 32,768 bytes; checksums are left out (0 means
none). LZX is coded by mkinstaller/lzx (lzxpack, built with the host's C++
compiler into build/host when it is missing or older than its sources, or
the program $LZXPACK names), with the x86 call translation on. A folder holds at most 65,535 blocks, and an LZX
folder ends before a file that would take it past 32 MiB: more data goes
into further folders, a file never spanning two. In a set of volumes a folder runs on
into the next volume in whole blocks with the file that crosses the
boundary, and ends with it; every other file begins in a folder that begins
in its own volume (the platform's library takes up a folder in a later
volume by decoding from that volume's first block).
"""

import argparse
import glob
import os
import struct
import subprocess
import sys
import tempfile
import time
import zlib

BLOCK = 0x8000


def dos_date_time(mtime, latest=None):
    if latest is not None:
        mtime = min(mtime, latest)
    t = time.localtime(mtime)
    year = min(max(t.tm_year, 1980), 2107)
    date = ((year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday
    clock = (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2)
    return date, clock


HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LZX_SOURCES = os.path.join(HERE, 'lzx')
LZX_WINDOWS = range(15, 22)


def compression(text):
    """The method a --compress value names, as 'none', 'mszip' or 'lzx:BITS';
    ValueError for anything else."""
    if text in ('none', 'mszip'):
        return text
    if text == 'lzx':
        return 'lzx:21'
    name, _, bits = text.partition(':')
    if name == 'lzx' and bits.isdigit() and int(bits) in LZX_WINDOWS:
        return 'lzx:%d' % int(bits)
    raise ValueError('--compress: none, mszip, or lzx[:BITS] with BITS from 15 to 21, not %r' % text)


def method_code(method):
    """The folder's compression type: the method, and for LZX the window."""
    if method.startswith('lzx:'):
        return 3 | int(method[4:]) << 8
    return {'none': 0, 'mszip': 1}[method]


def build_encoder(target):
    """Compiles the LZX encoder into `target` (whole, or not at all)."""
    sources = sorted(glob.glob(os.path.join(LZX_SOURCES, '*.cpp')))
    partial = target + '.%d.partial' % os.getpid()
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    # Linked statically: the encoder ships with the vendor's tool and runs on
    # any Linux on x86-64, whatever its C++ library.
    command = [os.environ.get('CXX', 'c++'), '-O2', '-std=c++17', '-Wall', '-Wextra', '-static',
               '-o', partial] + sources
    try:
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except FileNotFoundError:
        raise ValueError('LZX needs a C++ compiler for its encoder (%s); none found' % command[0])
    except subprocess.CalledProcessError as failed:
        lines = failed.stderr.decode('utf-8', 'replace').strip().splitlines()
        raise ValueError('the LZX encoder did not build: %s' % (lines[0] if lines else 'no message'))
    os.replace(partial, target)


def encoder():
    """The LZX encoder's path: $LZXPACK, else the prebuilt one beside this
    tool (as `make dist` ships it) or in build/prebuilt; else, in the
    source tree, build/host/lzxpack, built when missing or older than its
    sources."""
    named = os.environ.get('LZXPACK')
    if named:
        return named
    for folder in (os.path.join(HERE, 'prebuilt'), os.path.join(ROOT, 'build', 'prebuilt')):
        if os.path.isfile(os.path.join(folder, 'lzxpack')):
            return os.path.join(folder, 'lzxpack')
    target = os.path.join(ROOT, 'build', 'host', 'lzxpack')
    sources = glob.glob(os.path.join(LZX_SOURCES, '*'))
    if not sources:
        raise ValueError('no LZX encoder: none prebuilt beside the tool, and no sources to build one')
    if not os.path.exists(target) or os.path.getmtime(target) < max(os.path.getmtime(s) for s in sources):
        build_encoder(target)
    return target


class Coder:
    """Packs one MSZIP or stored folder's data blocks, in order (LZX folders
    are coded whole, by the Precoder)."""

    def __init__(self, method):
        self.method = method

    def code(self, block):
        if self.method == 'none':
            return block
        # Each block is a complete deflate stream of its own, so it never refers
        # back into the previous block.
        compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
        return b'CK' + compressor.compress(block) + compressor.flush()


def file_attributes(path, st):
    """Read-only, hidden, system and archive of a file: from the DOS attributes
    that Wine and Samba keep in the user.DOSATTRIB extended attribute when it
    is there ("0x22"), else archive, and read-only when the owner may not write."""
    try:
        text = os.getxattr(path, 'user.DOSATTRIB').split(b'\0')[0].decode('ascii')
        return int(text, 16) & 0x27
    except (OSError, ValueError, AttributeError):
        attribs = 0x20
        if not st.st_mode & 0o200:
            attribs |= 0x01
        return attribs


# The attribute bit of a name stored as UTF-8.
NAME_IS_UTF8 = 0x80

# Names the platform takes for devices, alone or with an extension.
DEVICES = {'CON', 'PRN', 'AUX', 'NUL', 'CONIN$', 'CONOUT$'} | \
    {'%s%d' % (d, n) for d in ('COM', 'LPT') for n in range(1, 10)}
# The format's limits: names of up to 255 bytes, and a file in one folder of
# at most 65,535 blocks of 32,768 bytes.
MAX_NAME = 255
MAX_FILE = 0xFFFF * BLOCK


def check_name(name):
    """Why the installer would refuse `name` (with "\\" separators), or None."""
    try:
        name.encode('cp1250')
    except UnicodeEncodeError:
        return 'a character that Windows-1250 cannot hold'
    if len(name.encode('utf-8')) > MAX_NAME:
        return 'longer than %d bytes' % MAX_NAME
    for part in name.split('\\'):
        if part in ('', '.', '..') or set(part) == {'.'}:
            return 'a component that leaves the folder'
        if any(c in '<>:"/|?*' or ord(c) < 32 for c in part):
            return 'a character Windows does not allow in names'
        if part[-1] in ' .':
            return 'a component ending in a space or a dot'
        if part.split('.')[0].rstrip(' ').upper() in DEVICES:
            return 'a device name'
    return None


def collect_tree(root):
    """Every file below `root` as (name, path), in sorted order, after the
    checks the installer would make at run time and the format's limit on a
    file's size. Raises ValueError with the reason for the first file
    refused."""
    real_root = os.path.realpath(root)
    files = []
    for top, dirs, found in os.walk(root):
        dirs.sort()
        for f in sorted(found):
            path = os.path.join(top, f)
            name = os.path.relpath(path, root).replace(os.sep, '\\')
            reason = check_name(name)
            if reason:
                raise ValueError('%s: %s' % (name, reason))
            if not os.path.realpath(path).startswith(real_root + os.sep):
                raise ValueError('%s: a link that leaves the folder' % name)
            if not os.path.isfile(path):
                raise ValueError('%s: not a regular file' % name)
            size = os.path.getsize(path)
            if size > MAX_FILE:
                raise ValueError('%s: %d bytes, more than a cabinet folder holds (%d)' % (name, size, MAX_FILE))
            files.append((name, path))
    return files


# The format's fixed sizes, and its limits.
HEADER_SIZE = 36
FOLDER_ENTRY_SIZE = 8
FILE_ENTRY_SIZE = 16
DATA_HEADER_SIZE = 8
FOLDER_BLOCKS = 0xFFFF   # data blocks one folder holds
CABINET_FILES = 0xFFFF   # entries one cabinet lists
HAS_PREVIOUS, HAS_NEXT = 1, 2
# An entry's folder index for a file that runs on from the previous volume,
# into the next, or both.
FROM_PREVIOUS, TO_NEXT, BOTH_WAYS = 0xFFFD, 0xFFFE, 0xFFFF
# How much more than its bytes a block can take packed (deflate's stored
# blocks add 5 bytes to every 65,535, MSZIP its 2-byte signature; an LZX
# frame stored as it is adds its block header, the repeated offsets and
# padding, 27 bytes with the folder's header), with room left for the next
# block's header: a block is written whole while this much more than its
# size is free.
PACKING_SLACK = 40
# The smallest volume: its header with both neighbours' names, a folder,
# the longest file entry and one data block.
MIN_VOLUME_SIZE = 64 * 1024


class Entry:
    """A file to pack, and where it went: its folder and the range of bytes
    it takes in it."""

    def __init__(self, name, path, args):
        st = os.stat(path)
        self.path = path
        self.size = st.st_size
        self.attribs = args.attribs.get(name, file_attributes(path, st))
        self.date, self.time = dos_date_time(st.st_mtime, getattr(args, 'latest', None))
        stored = name.replace('/', '\\')
        if stored.isascii():
            self.name = stored.encode('ascii')
        else:
            # Beyond ASCII a name is stored as UTF-8 and flagged so: the
            # installer then writes it right on any system whose ANSI code
            # page holds it (and refuses it where the page does not), where
            # bytes of one code page would read as other letters in another.
            self.name = stored.encode('utf-8')
            self.attribs |= NAME_IS_UTF8
        self.folder = None
        self.start = self.end = 0
        self.first_volume = None  # The volume holding its first byte.
        self.done = False         # Its last byte is in a volume.

    def entry_size(self):
        return FILE_ENTRY_SIZE + len(self.name) + 1


# LZX folders translate x86 calls, and the platform's library undoes that in
# a folder's first GiB only, where other readers go on: no folder that
# translates is longer, and a file that is longer gets a folder of its own
# that does not translate (such a file is data, not code, anyway).
TRANSLATED_FOLDER_BYTES = 1 << 30
# An LZX folder ends before a file that would take it past this many bytes,
# so that a product's folders can be coded at once, one on each core. A
# folder starts with an empty window: at this size that costs a few bytes
# in ten thousand (docs/performance.md).
PLANNED_FOLDER_BYTES = 32 << 20

# More options for the LZX encoder (tests set its block size).
ENCODER_OPTIONS = []


def plan_folders(entries, method):
    """The folders `entries` go in when no volume's end cuts one short, as
    (entries, translate) pairs; marks each entry that starts one with the
    folder's index (entry.plan), the others with None, and every entry with
    its place in the plan (entry.planned_at: folder, position). The packer
    starts folders exactly there, and where a volume's end makes it."""
    planned = []
    current = None
    for entry in entries:
        entry.plan = None
        lzx = method.startswith('lzx:')
        if (current is None or current.alone or not current.takes(entry.size) or
                (lzx and current.fed and current.fed + entry.size > PLANNED_FOLDER_BYTES)):
            current = Folder(method)
            current.alone = not current.takes(entry.size)
            entry.plan = len(planned)
            planned.append((current.files, not current.alone))
        entry.planned_at = (len(planned) - 1, len(current.files))
        current.fed += entry.size
        current.files.append(entry)
    return planned


class Precoder:
    """Codes LZX folders from their plan: the planned folders ahead of the
    packer, up to `jobs` at once (0: each only when the packer comes to
    it), each into a temporary file of the encoder's answers; the packer
    takes them in order. A folder that starts where its plan did not (a
    volume's end cut the one before it short) is coded from there to its
    planned end; one that ends sooner than planned is coded again, told
    where it ends. The encoder's answers depend only on the bytes it is
    given, so the cabinet does not depend on `jobs`."""

    def __init__(self, planned, method, jobs, folder, progress=None):
        from concurrent.futures import ThreadPoolExecutor
        self.planned = planned
        self.progress = progress  # Told of the bytes given to the encoders.
        self.window = int(method[4:])
        self.encoder = encoder()  # Found (or built) once, not by each thread.
        self.jobs = max(0, jobs)
        self.folder = folder
        self.pool = ThreadPoolExecutor(max_workers=max(1, self.jobs))
        self.futures = {}
        self.processes = set()
        self.stopped = False

    def stream(self, index):
        """The coded frames of planned folder `index`, as a FrameStream;
        starts the folders after it, never more than twice `jobs` ahead."""
        for ahead in range(index, min(index + 2 * self.jobs + 1, len(self.planned))):
            if ahead not in self.futures:
                files, translate = self.planned[ahead]
                self.futures[ahead] = self.pool.submit(self._code, files, translate, None, True)
        files, translate = self.planned[index]
        return FrameStream(self, self.futures.pop(index).result(), files, translate)

    def stream_from(self, entry):
        """The coded frames of a folder that starts with `entry` and holds
        the rest of its planned folder."""
        index, position = entry.planned_at
        files, translate = self.planned[index]
        files = files[position:]
        coded = self.pool.submit(self._code, files, translate, None, False).result()
        return FrameStream(self, coded, files, translate)

    def cut(self, stream, end):
        """The last frame of `stream`'s folder when it ends `end` bytes in."""
        coded = self.pool.submit(self._code, stream.files, stream.translate, end, False).result()
        try:
            last = None
            for last in FrameStream(self, coded, stream.files, stream.translate).frames():
                pass
        finally:
            coded.close()
        if last is None or last[0] != end % BLOCK:
            raise ValueError('the LZX encoder did not end a folder cut short where told')
        return last[1]

    def _code(self, files, translate, end, counted):
        out = tempfile.TemporaryFile(dir=self.folder)
        command = [self.encoder, '--window', str(self.window)] + ([] if translate else ['--translation', '0'])
        command += ENCODER_OPTIONS
        if end is not None:
            command += ['--end', str(end)]
        process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=out, stderr=subprocess.PIPE)
        self.processes.add(process)
        try:
            try:
                for entry in files:
                    with open(entry.path, 'rb') as f:
                        for chunk in iter(lambda: f.read(1 << 20), b''):
                            if self.stopped:
                                raise ValueError('stopped')
                            process.stdin.write(chunk)
                            if self.progress and counted:
                                self.progress(len(chunk))
                process.stdin.close()
            except BrokenPipeError:
                pass  # Told where the folder ends, the encoder stops reading there.
            message = process.stderr.read().decode('utf-8', 'replace').strip()
            if process.wait() != 0:
                raise ValueError(message or 'the LZX encoder failed (status %d)' % process.returncode)
        except BaseException:
            process.kill()
            process.wait()
            out.close()
            raise
        finally:
            process.stderr.close()
            self.processes.discard(process)
        out.seek(0)
        return out

    def close(self):
        """Stops what is under way and lets go of what was coded."""
        self.stopped = True
        for future in self.futures.values():
            future.cancel()
        for process in list(self.processes):
            process.kill()
        self.pool.shutdown(wait=True)
        for future in self.futures.values():
            if not future.cancelled() and future.exception() is None:
                future.result().close()
        self.futures = {}


class FrameStream:
    """A folder's coded frames, read in order."""

    def __init__(self, precoder, store, files, translate):
        self.precoder = precoder
        self.store = store
        self.files = files          # What it was coded from, for a cut.
        self.translate = translate

    def frames(self):
        while True:
            head = self.store.read(8)
            if not head:
                return
            if len(head) < 8:
                raise ValueError('the LZX encoder\'s answer was cut short')
            coded_size, frame_size = struct.unpack('<II', head)
            coded = self.store.read(coded_size)
            if len(coded) != coded_size:
                raise ValueError('the LZX encoder\'s answer was cut short')
            yield frame_size, coded

    def take(self, size, end):
        """The next frame coded, which holds `size` bytes and ends `end`
        bytes into the folder. A frame shorter than planned is the folder's
        last (a volume's end cut it short): it is coded again, told so."""
        head = self.store.read(8)
        if len(head) != 8:
            raise ValueError('internal error: a folder holds more than planned')
        coded_size, frame_size = struct.unpack('<II', head)
        if size < frame_size:
            return self.precoder.cut(self, end)
        coded = self.store.read(coded_size)
        if frame_size != size or len(coded) != coded_size:
            raise ValueError('the LZX encoder\'s answer was cut short')
        return coded

    def close(self):
        self.store.close()


class Folder:
    def __init__(self, method, alone=False):
        self.method = method
        self.alone = alone      # A file too long for a folder that translates.
        self.coder = None       # Made with its first block (MSZIP, stored).
        self.stream = None      # Its frames, coded from its plan (LZX).
        self.fed = 0            # Bytes given to it.
        self.emitted = 0        # Bytes in its blocks so far.
        self.blocks = 0
        self.files = []
        self.next_file = 0      # The first of `files` not yet wholly in blocks.
        self.sealed_end = None  # Set when it runs on into another volume.
        self.piece = None       # Its CFFOLDER in the current volume.

    def takes(self, size):
        if self.method.startswith('lzx:') and not self.alone and TRANSLATED_FOLDER_BYTES is not None:
            return self.fed + size <= TRANSLATED_FOLDER_BYTES
        return -(-(self.fed + size) // BLOCK) <= FOLDER_BLOCKS

    def code(self, block):
        if self.stream is not None:
            return self.stream.take(len(block), self.emitted + len(block))
        if self.coder is None:
            self.coder = Coder(self.method)
        return self.coder.code(block)

    def close(self):
        if self.stream is not None:
            self.stream.close()
            self.stream = None

    abandon = close


class Volume:
    def __init__(self, number, name, previous, next_name, sink):
        self.number = number
        self.name = name
        self.previous = previous
        self.next_name = next_name
        self.sink = sink        # Where its data blocks go until it is written.
        self.data_size = 0
        self.pieces = []        # [volume, offset of its first block in the data, blocks, folder]
        self.files = []         # The entries it lists, in order.
        self.listed = set()

    def links(self, with_next):
        size = 0
        if self.previous is not None:
            size += len(self.previous.encode('ascii')) + 2
        if with_next and self.next_name is not None:
            size += len(self.next_name.encode('ascii')) + 2
        return size

    def header_size(self, with_next=True):
        return (HEADER_SIZE + self.links(with_next) + FOLDER_ENTRY_SIZE * len(self.pieces) +
                sum(f.entry_size() for f in self.files))


class Packer:
    """Packs entries into folders and volumes as they come.

    `open_volume(number)` gives the (name, binary file) of a volume's data
    store; `write_volume(volume, head)` writes the volume's head (header and
    tables) followed by its stored data. Without a volume size everything
    goes into one cabinet."""

    def __init__(self, method, set_id, volume_size, names, sink_for, write_volume, index=0,
                 previous=None, next_name=None, jobs=1, progress=None, work_folder=None):
        self.method = method
        self.jobs = jobs
        # Told of the files' bytes as they are packed (from the threads that
        # feed the encoders, when LZX folders are coded ahead).
        self.progress = progress
        self.work_folder = work_folder
        self.precoder = None
        self.set_id = set_id
        self.volume_size = volume_size
        self.names = names            # number -> volume name
        self.sink_for = sink_for
        self.write_volume = write_volume
        self.first_index = index
        self.fixed_links = (previous, next_name)
        self.folder = None
        self.pending = bytearray()
        self.after_tail = None
        self.volumes_written = 0
        self.open_folders = []
        self.volume = self._new_volume(1)

    def _new_volume(self, number):
        previous = self.names(number - 1) if number > 1 else self.fixed_links[0]
        next_name = self.names(number + 1) if self.volume_size else self.fixed_links[1]
        return Volume(number, self.names(number), previous, next_name, self.sink_for(number))

    # Entries and their bytes.

    def pack(self, entries):
        """Packs `entries` in order, in the folders they are planned in;
        LZX folders are coded ahead, `jobs` at once."""
        planned = plan_folders(entries, self.method)
        if self.method.startswith('lzx:'):
            self.precoder = Precoder(planned, self.method, self.jobs, self.work_folder, self.progress)
        for entry in entries:
            self._add(entry)

    def _add(self, entry):
        if (self.folder is None or self.folder.sealed_end is not None or self.folder.alone or
                entry.plan is not None):
            self._close_folder()
            self.folder = self._new_folder()
            if not self.folder.takes(entry.size):
                self.folder.alone = True
            if self.precoder is not None:
                self.folder.stream = (self.precoder.stream(entry.plan) if entry.plan is not None else
                                      self.precoder.stream_from(entry))
        if not self.folder.takes(entry.size):
            raise ValueError('%s: %d bytes, more than a cabinet folder holds (%d)'
                             % (entry.name.decode('utf-8'), entry.size, FOLDER_BLOCKS * BLOCK))
        entry.folder = self.folder
        entry.start = self.folder.fed
        entry.end = entry.start + entry.size
        self.folder.files.append(entry)
        with open(entry.path, 'rb') as f:
            left = entry.size
            while left > 0:
                chunk = f.read(min(BLOCK - len(self.pending), left, 1 << 20))
                if not chunk:
                    raise ValueError('%s: shorter than it was' % entry.path)
                self.pending += chunk
                self.folder.fed += len(chunk)
                if self.progress and self.precoder is None:
                    self.progress(len(chunk))
                left -= len(chunk)
                if len(self.pending) == BLOCK:
                    self._emit()

    def finish(self):
        """Writes what is left; returns the volumes written."""
        self._close_folder()
        self._write(self.volume, last=True)
        if self.precoder is not None:
            self.precoder.close()
            self.precoder = None
        return self.volumes_written

    def abandon(self):
        """Stops the coders of folders left open by a failure, and those
        coding ahead."""
        for folder in self.open_folders:
            folder.abandon()
        self.open_folders = []
        if self.precoder is not None:
            self.precoder.close()
            self.precoder = None

    def _new_folder(self):
        folder = Folder(self.method)
        self.open_folders.append(folder)
        return folder

    def _done_with(self, folder):
        self.open_folders.remove(folder)
        folder.close()

    # Blocks.

    def _close_folder(self):
        # Writing the last block may hand the rest to a folder of its own,
        # which is then closed in turn.
        while self.folder is not None:
            folder = self.folder
            if self.pending or folder.blocks == 0:
                self._emit()
            if self.folder is not folder:
                continue
            # Empty files at the very end lie in the volume of the last block.
            for entry in folder.files[folder.next_file:]:
                self._list(entry, self.volume)
                entry.done = True
            self.folder = None
            self._done_with(folder)

    def _touching(self, folder, start, end):
        """The entries of `folder` with bytes in [start, end), and empty ones
        that lie at its start."""
        touching = []
        for entry in folder.files[folder.next_file:]:
            if entry.start >= end and not (entry.size == 0 and entry.start == start):
                break
            touching.append(entry)
        return touching

    def _base(self, volume, folder):
        """The volume's size with one more data block header (and the
        folder's entry, when the folder has no blocks in it yet)."""
        new_piece = folder.piece is None or folder.piece[0] is not volume
        return (volume.header_size() + (FOLDER_ENTRY_SIZE if new_piece else 0) + volume.data_size +
                DATA_HEADER_SIZE)

    def _emit(self):
        """Packs the pending bytes as the folder's next block and writes it
        into the volume; at a volume's end the block is split between this
        volume and the next, as the platform's own tools do (and as
        independent readers expect)."""
        folder = self.folder
        boundary = folder.emitted
        touching = self._touching(folder, boundary, boundary + len(self.pending))
        volume = self.volume
        new = [e for e in touching if id(e) not in volume.listed]
        counted = len(volume.files) + len(new) <= CABINET_FILES
        if self.volume_size is None:
            if not counted:
                raise ValueError('more than %d files: a set of volumes is needed' % CABINET_FILES)
            self._write_block(folder.code(bytes(self.pending)), touching)
            return
        room = self.volume_size - self._base(volume, folder) - sum(e.entry_size() for e in new)
        if counted and room >= len(self.pending) + PACKING_SLACK:
            self._write_block(folder.code(bytes(self.pending)), touching)
        elif counted and room >= 0:
            self._write_split(touching, room)
        else:
            # Not even this block's own entries fit: the volume ends at the
            # block's start.
            if volume.data_size == 0:
                raise ValueError('a volume of %d bytes cannot hold its headers and one data block'
                                 % self.volume_size)
            crossing = next((e for e in touching if e.start < boundary), None)
            if crossing is None:
                # No file runs on: the block begins a new folder in the next
                # volume, with every file it holds.
                self._close_volume()
                self._move_on(folder, boundary)
                self._emit()
                return
            # The file that runs on goes on alone: its folder ends with it,
            # and the files after it move to a folder of their own.
            self._move_on(folder, crossing.end)
            room = self.volume_size - self._base(volume, folder)
            self._write_split([crossing], room)

    def _write_block(self, packed, touching, uncompressed=None):
        """Writes a block of the pending bytes, packed as `packed`, into the
        volume. With `uncompressed` 0 it is the first part of a split block,
        and the bytes stay pending for the second."""
        folder = self.folder
        volume = self.volume
        if folder.piece is None or folder.piece[0] is not volume:
            folder.piece = [volume, volume.data_size, 0, folder]
            volume.pieces.append(folder.piece)
        for entry in touching:
            self._list(entry, volume)
        size = len(self.pending) if uncompressed is None else uncompressed
        volume.sink.write(struct.pack('<IHH', 0, len(packed), size) + packed)
        volume.data_size += DATA_HEADER_SIZE + len(packed)
        folder.piece[2] += 1
        if uncompressed == 0:
            return
        folder.blocks += 1
        folder.emitted += len(self.pending)
        self.pending.clear()
        # Done: every file whose last byte is out (an empty one once it is
        # listed, that is once a block began at or after it).
        while folder.next_file < len(folder.files):
            entry = folder.files[folder.next_file]
            if entry.end > folder.emitted or (entry.size == 0 and entry.start >= folder.emitted):
                break
            entry.done = True
            folder.next_file += 1
        if self.after_tail is not None:
            self.folder, rest = self.after_tail
            self.pending = bytearray(rest)
            self.after_tail = None
            self._done_with(folder)

    def _write_split(self, touching, room):
        """Writes the pending block as its first `room` packed bytes here and
        the rest as the first block of the next volume, where the folder runs
        on, and ends with the last file the block holds."""
        folder = self.folder
        packed = folder.code(bytes(self.pending))
        if len(packed) + PACKING_SLACK <= room:
            self._write_block(packed, touching)
            return
        room = max(0, min(room, len(packed)))
        self._write_block(packed[:room], touching, uncompressed=0)
        self._close_volume()
        folder.sealed_end = max(e.end for e in touching)
        self._write_block(packed[room:], touching)

    def _list(self, entry, volume):
        if id(entry) not in volume.listed:
            volume.listed.add(id(entry))
            volume.files.append(entry)
            if entry.first_volume is None:
                entry.first_volume = volume

    def _close_volume(self):
        self._write(self.volume, last=False)
        self.volume = self._new_volume(self.volume.number + 1)

    def _move_on(self, folder, cut):
        """Moves the files of `folder` from offset `cut` on, with their bytes
        still pending, to a folder of their own: at once when nothing of the
        folder is pending before `cut`, else once that part is written."""
        moving = [e for e in folder.files[folder.next_file:] if e.start >= cut]
        if not moving:
            return
        del folder.files[len(folder.files) - len(moving):]
        fresh = self._new_folder()
        fresh.fed = folder.fed - cut
        folder.fed = cut
        for entry in moving:
            entry.folder = fresh
            entry.start -= cut
            entry.end -= cut
        fresh.files = moving
        if self.precoder is not None:
            fresh.stream = self.precoder.stream_from(moving[0])
        split = cut - folder.emitted
        rest = bytes(self.pending[split:])
        del self.pending[split:]
        if split == 0:
            self.folder = fresh
            self.pending = bytearray(rest)
            self._done_with(folder)
        else:
            self.after_tail = (fresh, rest)

    # Volumes.

    def _write(self, volume, last):
        has_next = not last if self.volume_size else self.fixed_links[1] is not None
        flags = (HAS_PREVIOUS if volume.previous is not None else 0) | (HAS_NEXT if has_next else 0)
        links = b''
        if volume.previous is not None:
            links += volume.previous.encode('ascii') + b'\0\0'
        if has_next:
            links += volume.next_name.encode('ascii') + b'\0\0'
        head_size = volume.header_size(with_next=has_next)
        folders = b''
        indexes = {}
        for i, (_, offset, blocks, folder) in enumerate(volume.pieces):
            indexes[id(folder)] = i
            folders += struct.pack('<IHH', head_size + offset, blocks, method_code(folder.method))
        table = bytearray()
        for entry in volume.files:
            starts_here = entry.first_volume is volume
            ends_here = entry.done
            if starts_here and ends_here:
                index = indexes[id(entry.folder)]
            elif starts_here:
                index = TO_NEXT
            elif ends_here:
                index = FROM_PREVIOUS
            else:
                index = BOTH_WAYS
            table += struct.pack('<IIHHHH', entry.size, entry.start, index, entry.date, entry.time,
                                 entry.attribs) + entry.name + b'\0'
        total = head_size + volume.data_size
        header = struct.pack('<4sIIIIIBBHHHHH', b'MSCF', 0, total, 0,
                             HEADER_SIZE + len(links) + len(folders), 0, 3, 1, len(volume.pieces),
                             len(volume.files), flags, self.set_id,
                             self.first_index + volume.number - 1)
        head = header + links + folders + bytes(table)
        assert len(head) == head_size, (len(head), head_size)
        self.write_volume(volume, head)
        self.volumes_written += 1


def build(files, args, output):
    """Writes one cabinet of `files` ((name, path) pairs) at `output`: the
    volume `args.index` of a hand-made set when `args.prev` or `args.next`
    name its neighbours. Its data blocks wait in a temporary file until its
    head is known; nothing is held whole. On a failure nothing is left."""
    store = tempfile.TemporaryFile(dir=os.path.dirname(os.path.abspath(output)))

    def write_volume(volume, head):
        store.seek(0)
        with open(output, 'wb') as out:
            out.write(head)
            for chunk in iter(lambda: store.read(1 << 20), b''):
                out.write(chunk)

    packer = Packer(args.method, args.set_id, None, lambda n: '', lambda n: store,
                    write_volume, index=args.index, previous=args.prev, next_name=args.next,
                    jobs=getattr(args, 'jobs', 1), work_folder=os.path.dirname(os.path.abspath(output)))
    try:
        packer.pack([Entry(name, path, args) for name, path in files])
        packer.finish()
    except BaseException:
        if os.path.exists(output):
            os.remove(output)
        raise
    finally:
        packer.abandon()
        store.close()


def summarize(data):
    """(files, bytes) of a cabinet's file table, of the files that begin in
    it. Raises ValueError when the table cannot be read."""
    if len(data) < 36 or data[:4] != b'MSCF':
        raise ValueError('not a cabinet')
    files_offset, = struct.unpack_from('<I', data, 16)
    count, = struct.unpack_from('<H', data, 28)
    at, files, total = files_offset, 0, 0
    for _ in range(count):
        if at + 16 > len(data):
            raise ValueError('file table cut short')
        size, _, index = struct.unpack_from('<IIH', data, at)
        if index & FROM_PREVIOUS != FROM_PREVIOUS:  # Not continued from a previous volume.
            files += 1
            total += size
        end = data.find(b'\0', at + 16)
        if end < 0:
            raise ValueError('file table cut short')
        at = end + 1
    return files, total


def default_jobs():
    """Every core this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def pair(text):
    name, _, value = text.partition('=')
    if not value:
        raise argparse.ArgumentTypeError('expected NAME=VALUE: ' + text)
    return name, value


def volume_size(text):
    """A size given as a number of bytes, or with K, M or G (KiB, MiB, GiB)."""
    units = {'': 1, 'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30}
    number, unit = text[:-1] if text[-1:].upper() in 'KMG' else text, text[-1:].upper()
    if unit not in units or unit.isdigit():
        unit = ''
    if not number.isdigit() or int(number) == 0:
        raise ValueError('not a size: %r (a number of bytes, or with K, M or G)' % text)
    return int(number) * units[unit]


def pack_set(files, method, set_id, size, first_path, name_of, args, first_name=None, keep_partial=False,
             jobs=1, progress=None):
    """Packs `files` ((name, path) pairs) into a set of volumes of at most
    `size` bytes: the first at `first_path` (named `first_name` to the
    others, by default its file name), volume n (from 2) at the path
    `name_of(n)`. Writes each volume whole under "PATH.partial" and renames
    it when it is complete, or with `keep_partial` leaves that to the
    caller. On a failure no volume of the set stays. LZX folders are coded
    `jobs` at once; `progress(bytes)` is told of the files' bytes as they
    are packed. Returns the paths written, in order."""
    written = []
    begun = []
    stores = {}

    def path_of(number):
        return first_path if number == 1 else name_of(number)

    def sink_for(number):
        stores[number] = tempfile.TemporaryFile(dir=os.path.dirname(os.path.abspath(first_path)) or '.')
        return stores[number]

    def write_volume(volume, head):
        target = path_of(volume.number)
        store = stores.pop(volume.number)
        store.seek(0)
        begun.append(target)
        with open(target + '.partial', 'wb') as out:
            out.write(head)
            while True:
                chunk = store.read(1 << 20)
                if not chunk:
                    break
                out.write(chunk)
        store.close()
        if not keep_partial:
            os.replace(target + '.partial', target)
        written.append(target)

    def name(number):
        return first_name if number == 1 and first_name else os.path.basename(path_of(number))

    packer = Packer(method, set_id, size, name, sink_for, write_volume, jobs=jobs, progress=progress,
                    work_folder=os.path.dirname(os.path.abspath(first_path)) or '.')
    try:
        packer.pack([Entry(entry_name, path, args) for entry_name, path in files])
        packer.finish()
    except BaseException:
        packer.abandon()
        for number in stores:
            stores[number].close()
        for target in begun:
            for leftover in (target + '.partial',) + ((target,) if target in written else ()):
                if os.path.exists(leftover):
                    os.remove(leftover)
        raise
    return written


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('output', nargs='?')
    parser.add_argument('root', nargs='?')
    parser.add_argument('files', nargs='*')
    parser.add_argument('--add', type=pair, action='append', default=[])
    parser.add_argument('--attrib', type=pair, action='append', default=[])
    parser.add_argument('--compress')
    parser.add_argument('--mszip', action='store_true')
    parser.add_argument('--build-encoder', metavar='PATH', help=argparse.SUPPRESS)
    parser.add_argument('--set-id', type=lambda s: int(s, 0), default=0x3D7B)
    parser.add_argument('--index', type=lambda s: int(s, 0), default=0)
    parser.add_argument('--prev')
    parser.add_argument('--next')
    parser.add_argument('--volume-size')
    parser.add_argument('--volume-names')
    parser.add_argument('--source-times', action='store_true')
    parser.add_argument('--jobs', type=int, default=default_jobs())
    args = parser.parse_args(argv[1:])
    try:
        if args.build_encoder:
            build_encoder(args.build_encoder)
            return 0
        if args.output is None or args.root is None:
            raise ValueError('usage: mkcab.py [options] OUTPUT.cab ROOT [FILE ...]')
        if args.compress is not None and args.mszip:
            raise ValueError('--mszip and --compress: one of them')
        args.method = compression(args.compress) if args.compress is not None else (
            'mszip' if args.mszip else 'none')
    except ValueError as refused:
        print('mkcab: %s' % refused, file=sys.stderr)
        return 1
    epoch = os.environ.get('SOURCE_DATE_EPOCH', '')
    args.latest = int(epoch) if args.source_times and epoch.isdigit() else None
    args.attribs = {name.replace('/', '\\'): int(bits, 0) for name, bits in args.attrib}

    names = list(args.files)
    if not names:
        for top, _, found in os.walk(args.root):
            for f in found:
                names.append(os.path.relpath(os.path.join(top, f), args.root))
        names.sort()
    files = [(n.replace(os.sep, '\\'), os.path.join(args.root, n)) for n in names]
    files += [(n.replace('/', '\\'), p) for n, p in args.add]
    try:
        if args.volume_size is None:
            build(files, args, args.output)
            return 0
        size = volume_size(args.volume_size)
        if size < MIN_VOLUME_SIZE:
            raise ValueError('volumes of %d bytes cannot hold their headers and a data block (at least %d)'
                             % (size, MIN_VOLUME_SIZE))
        stem, extension = os.path.splitext(args.output)
        pattern = args.volume_names or os.path.basename(stem) + '-{}' + extension
        folder = os.path.dirname(os.path.abspath(args.output))
        pack_set(files, args.method, args.set_id, size, args.output,
                 lambda n: os.path.join(folder, pattern.format(n)), args, jobs=args.jobs)
    except (ValueError, OSError) as refused:
        print('mkcab: %s' % refused, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
