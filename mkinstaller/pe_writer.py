#!/usr/bin/env python3
"""Writes an installer: the stub this project builds, with its payload, the
record of what ships beside it and its version written in.

The stub is the installer without a payload. Its resources are written anew:
the payload (RT_RCDATA 45514, the first volume of the set) in a section of
its own, ".cab", whose data starts on a 4096-byte boundary of the file, so
that a loader mapping an image section by section (Wine's does) maps it
from the file rather than reading it whole before the dialog shows; the
others, with the record (RT_RCDATA 45515) and the version resource made for
the given version, in ".rsrc". Only the sections the program never
addresses by its own means move, the resources and the base relocations,
which follow the code and data: they go in the order (before or after
".cab") that wastes the fewest bytes on that boundary. Code and data keep
their addresses and bytes. The header's sizes and checksum are made for the
new file. The payload is streamed from its file, never held whole.

A stub is refused when it is not a PE image, is not of the architecture
asked for, is signed, already carries a payload, or is not this project's
installer (its version resource names it).

Usage: pe_writer.py --stub STUB.exe --payload FILE.cab --out INSTALLER.exe
                    [--record RECORD.bin] [--version A.B.C.D] [--arch i686|x86_64]
"""

import argparse
import itertools
import os
import struct
import sys

PAGE = 0x1000
RT_RCDATA = 10
RT_VERSION = 16
RT_DIALOG = 5
PAYLOAD_ID = 45514
RECORD_ID = 45515
INSTALLER_DIALOG = 101
MACHINES = {'i686': 0x14c, 'x86_64': 0x8664}
# The version resource's name for this project's installer.
INTERNAL_NAME = 'instalator'
DIRECTORY_RESOURCE = 2
DIRECTORY_SECURITY = 4
DIRECTORY_BASERELOC = 5
SECTION_HEADER_SIZE = 40
# Initialised, readable data, as the resource section is.
PAYLOAD_CHARACTERISTICS = 0x40000040
CNT_INITIALIZED_DATA = 0x40
# The sections that hold nothing the code addresses by its own means: the
# resources are found through the data directory, the relocations are read
# by the loader alone.
MOVABLE = (b'.rsrc', b'.reloc')
DATA_ALIGNMENT = 8


class LayoutError(Exception):
    """A stub that cannot be written into, or a failed write: one line."""


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Section:
    def __init__(self, name, rva, vsize, data, characteristics, header=None):
        self.name = name
        self.rva = rva
        self.vsize = vsize
        self.data = data  # The raw bytes, without the file's padding.
        self.characteristics = characteristics
        # The original header's other fields (relocations, line numbers).
        self.header = header
        self.raw_at = 0
        self.raw_size = 0

    def pack(self):
        header = bytearray(self.header or bytes(SECTION_HEADER_SIZE))
        struct.pack_into('<8sIIII', header, 0, self.name, self.vsize, self.rva, self.raw_size,
                         self.raw_at if self.raw_size else 0)
        struct.pack_into('<I', header, 36, self.characteristics)
        return bytes(header)


class Image:
    """A linked PE image: its headers and its sections in address order."""

    def __init__(self, data):
        data = memoryview(data)
        self.data = data
        if bytes(data[:2]) != b'MZ' or len(data) < 0x40:
            raise LayoutError('not a PE image')
        self.pe = struct.unpack_from('<I', data, 0x3c)[0]
        if bytes(data[self.pe:self.pe + 4]) != b'PE\0\0':
            raise LayoutError('not a PE image')
        count, = struct.unpack_from('<H', data, self.pe + 6)
        optional_size, = struct.unpack_from('<H', data, self.pe + 20)
        self.optional = self.pe + 24
        magic, = struct.unpack_from('<H', data, self.optional)
        if magic not in (0x10b, 0x20b):
            raise LayoutError('not a PE image')
        self.directories = self.optional + (96 if magic == 0x10b else 112)
        self.table = self.optional + optional_size
        self.section_alignment, self.file_alignment = struct.unpack_from('<II', data, self.optional + 32)
        self.header_size, = struct.unpack_from('<I', data, self.optional + 60)
        self.sections = []
        for i in range(count):
            at = self.table + SECTION_HEADER_SIZE * i
            name, vsize, rva, raw_size, raw_at = struct.unpack_from('<8sIIII', data, at)
            characteristics, = struct.unpack_from('<I', data, at + 36)
            section = Section(name.rstrip(b'\0'), rva, vsize, data[raw_at:raw_at + raw_size],
                              characteristics, data[at:at + SECTION_HEADER_SIZE])
            section.raw_at, section.raw_size = raw_at, raw_size
            self.sections.append(section)

    def directory(self, index):
        return struct.unpack_from('<II', self.data, self.directories + 8 * index)

    def section_of(self, rva):
        for section in self.sections:
            if section.rva <= rva < section.rva + max(section.vsize, section.raw_size):
                return section
        raise LayoutError('address %#x lies in no section' % rva)

    def read(self, rva, size):
        section = self.section_of(rva)
        at = rva - section.rva
        if at + size > len(section.data):
            raise LayoutError('%d bytes at %#x run past their section' % (size, rva))
        return section.data[at:at + size]


def read_resources(image):
    """Every resource as (type, name, language, code page, bytes), in the
    directory's order. Only numbered types and names: this project's
    resources have no others."""
    rva, _ = image.directory(DIRECTORY_RESOURCE)
    if rva == 0:
        return []
    section = image.section_of(rva)
    base = rva - section.rva
    table = section.data

    def entries(at):
        named, numbered = struct.unpack_from('<HH', table, base + at + 12)
        for i in range(named + numbered):
            ident, target = struct.unpack_from('<II', table, base + at + 16 + 8 * i)
            if ident & 0x80000000:
                raise LayoutError('a resource named by a string')
            yield ident, target

    found = []
    for kind, types in entries(0):
        for name, names in entries(types & 0x7fffffff):
            for language, leaf in entries(names & 0x7fffffff):
                if leaf & 0x80000000 or not types & 0x80000000 or not names & 0x80000000:
                    raise LayoutError('a resource directory of another depth than three')
                data_rva, size, code_page = struct.unpack_from('<III', table, base + leaf)
                found.append((kind, name, language, code_page, image.read(data_rva, size)))
    return found


def write_resources(resources, rva, placed):
    """The resource section for `resources` at `rva`: three levels of
    directories, the data entries, then the data. A resource whose key
    (type, name) is in `placed` lies elsewhere, at the address it maps to."""
    tree = {}
    for kind, name, language, code_page, data in resources:
        tree.setdefault(kind, {}).setdefault(name, {})[language] = (code_page, data)

    def table_size(count):
        return 16 + 8 * count

    # Where each table goes: the root, the types' tables, then the names'.
    at = table_size(len(tree))
    type_at = {}
    for kind in sorted(tree):
        type_at[kind] = at
        at += table_size(len(tree[kind]))
    name_at = {}
    for kind in sorted(tree):
        for name in sorted(tree[kind]):
            name_at[kind, name] = at
            at += table_size(len(tree[kind][name]))
    leaf_at = {}
    for kind in sorted(tree):
        for name in sorted(tree[kind]):
            for language in sorted(tree[kind][name]):
                leaf_at[kind, name, language] = at
                at += 16
    data_at = {}
    for kind in sorted(tree):
        for name in sorted(tree[kind]):
            if (kind, name) in placed:
                continue
            for language in sorted(tree[kind][name]):
                at = align(at, DATA_ALIGNMENT)
                data_at[kind, name, language] = at
                at += len(tree[kind][name][language][1])

    out = bytearray(at)

    def put_table(offset, children):
        struct.pack_into('<IIHHHH', out, offset, 0, 0, 0, 0, 0, len(children))
        for i, (ident, target) in enumerate(children):
            struct.pack_into('<II', out, offset + 16 + 8 * i, ident, target)

    put_table(0, [(kind, 0x80000000 | type_at[kind]) for kind in sorted(tree)])
    for kind in sorted(tree):
        put_table(type_at[kind], [(name, 0x80000000 | name_at[kind, name]) for name in sorted(tree[kind])])
        for name in sorted(tree[kind]):
            languages = sorted(tree[kind][name])
            put_table(name_at[kind, name], [(language, leaf_at[kind, name, language]) for language in languages])
            for language in languages:
                code_page, data = tree[kind][name][language]
                if (kind, name) in placed:
                    where = placed[kind, name]
                else:
                    where = rva + data_at[kind, name, language]
                    start = data_at[kind, name, language]
                    out[start:start + len(data)] = data
                struct.pack_into('<IIII', out, leaf_at[kind, name, language], where, len(data), code_page, 0)
    return bytes(out)


class Checksum:
    """The PE checksum, taken as the file is written: the 16-bit words
    summed with end-around carry, plus the length. That sum is the words'
    sum modulo 0xFFFF (2^16 = 1 there), taken a piece at a time as one large
    number; every piece but the last starts on an even offset and has an
    even length, as every piece written here does."""

    def __init__(self):
        self.total = 0

    def add(self, piece):
        self.total += int.from_bytes(piece, 'little') % 0xffff

    def value(self, length):
        # An image is never all zeros (it starts "MZ"): a sum of 0 modulo
        # 0xFFFF is 0xFFFF with end-around carry.
        return (self.total % 0xffff or 0xffff) + length


class Sized:
    """Stands for a resource's data that lies elsewhere: only its length."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length


# The version resource: nodes of (length, value length, type, key, value,
# children), each aligned on 4 bytes.

def read_version_node(data, at):
    length, value_length, kind = struct.unpack_from('<HHH', data, at)
    end = at + length
    if length < 6 or end > len(data):
        raise LayoutError('a damaged version resource')
    key_end = at + 6
    while key_end + 1 < end and data[key_end:key_end + 2] != b'\0\0':
        key_end += 2
    key = bytes(data[at + 6:key_end]).decode('utf-16-le')
    value_at = align(key_end + 2 - at, 4) + at
    value_size = value_length * 2 if kind == 1 else value_length
    value = bytes(data[value_at:value_at + value_size])
    children = []
    child = align(value_at + value_size - at, 4) + at
    while child < end:
        node, child_end = read_version_node(data, child)
        children.append(node)
        child = align(child_end - at, 4) + at
    return [key, kind, value, children], end


def write_version_node(node):
    key, kind, value, children = node
    out = bytearray(6) + (key + '\0').encode('utf-16-le')
    out += bytes(align(len(out), 4) - len(out)) + value
    for child in children:
        out += bytes(align(len(out), 4) - len(out)) + write_version_node(child)
    struct.pack_into('<HHH', out, 0, len(out), len(value) // 2 if kind == 1 else len(value), kind)
    return bytes(out)


def version_strings(node, found=None):
    """Every string value below `node`, by key: {key: node}."""
    found = {} if found is None else found
    for child in node[3]:
        if child[1] == 1 and not child[3]:
            found[child[0]] = child
        version_strings(child, found)
    return found


def with_version(data, version):
    """The version resource `data` made for `version` (A.B.C.D): the fixed
    part's file and product versions and the strings that carry them."""
    root, _ = read_version_node(memoryview(data), 0)
    parts = [int(p) for p in version.split('.')]
    fixed = bytearray(root[2])
    if len(fixed) != 52 or struct.unpack_from('<I', fixed, 0)[0] != 0xFEEF04BD:
        raise LayoutError('a version resource without its fixed part')
    high, low = parts[0] << 16 | parts[1], parts[2] << 16 | parts[3]
    struct.pack_into('<IIII', fixed, 8, high, low, high, low)
    root[2] = bytes(fixed)
    strings = version_strings(root)
    for key in ('FileVersion', 'ProductVersion'):
        if key in strings:
            strings[key][2] = (version + '\0').encode('utf-16-le')
    return write_version_node(root)


def internal_name(data):
    root, _ = read_version_node(memoryview(data), 0)
    node = version_strings(root).get('InternalName')
    return node[2].decode('utf-16-le').rstrip('\0') if node else None


class Stub:
    """A stub read and checked: its image and resources."""

    def __init__(self, path, arch):
        try:
            with open(path, 'rb') as f:
                self.data = f.read(64 << 20)
        except OSError as error:
            raise LayoutError('the stub %s: %s' % (path, error.strerror or error))
        try:
            self.image = Image(self.data)
            machine, = struct.unpack_from('<H', self.data, self.image.pe + 4)
            if machine != MACHINES[arch]:
                named = {v: k for k, v in MACHINES.items()}.get(machine, 'machine %#x' % machine)
                raise LayoutError('the stub %s is for %s, not %s' % (path, named, arch))
            if self.image.directory(DIRECTORY_SECURITY)[1]:
                raise LayoutError('the stub %s is signed: sign the installer, not the stub' % path)
            self.resources = read_resources(self.image)
        except (LayoutError, struct.error, IndexError, UnicodeDecodeError) as error:
            text = str(error) if isinstance(error, LayoutError) else 'damaged (%s)' % error
            raise LayoutError(text if text.startswith('the stub') else 'the stub %s: %s' % (path, text))
        keys = {(r[0], r[1]) for r in self.resources}
        versions = [r for r in self.resources if r[0] == RT_VERSION]
        try:
            name = internal_name(versions[0][4]) if len(versions) == 1 else None
        except (LayoutError, struct.error, UnicodeDecodeError):
            name = None
        if name != INTERNAL_NAME or (RT_DIALOG, INSTALLER_DIALOG) not in keys:
            raise LayoutError('%s is not an installer stub of this project' % path)
        if (RT_RCDATA, PAYLOAD_ID) in keys or (RT_RCDATA, RECORD_ID) in keys:
            raise LayoutError('%s already carries a payload: a stub has none' % path)


def plan(stub, resources, payload_size):
    """Where every section goes: (end of the file, the moved sections in
    file order, the end of the image in memory)."""
    image = stub.image
    data = stub.data
    names = [s.name for s in image.sections]
    fixed = [s for s in image.sections if s.name not in MOVABLE]
    if names[:len(fixed)] != [s.name for s in fixed] or sorted(names[len(fixed):]) != sorted(MOVABLE):
        raise LayoutError('the stub\'s resources and relocations are not its last sections')
    if len(data) != max(s.raw_at + s.raw_size for s in image.sections if s.raw_size):
        raise LayoutError('the stub has data after its last section')
    if image.table + SECTION_HEADER_SIZE * (len(fixed) + 3) > image.header_size:
        raise LayoutError('the stub has no room in its headers for another section')
    relocations = next(s for s in image.sections if s.name == b'.reloc')
    characteristics_of = {s.name.decode(): s.characteristics for s in image.sections if s.name in MOVABLE}
    if image.directory(DIRECTORY_BASERELOC)[0] != relocations.rva:
        raise LayoutError('the stub\'s relocations are not where their section starts')
    first_rva = align(max(s.rva + max(s.vsize, s.raw_size) for s in fixed), image.section_alignment)
    fixed_end = max([image.header_size] + [s.raw_at + s.raw_size for s in fixed if s.raw_size])
    # The resource section's size does not depend on where it lies.
    sizes = {'.rsrc': len(write_resources(resources, 0, {(RT_RCDATA, PAYLOAD_ID): 0})),
             '.reloc': relocations.vsize, '.cab': payload_size}
    best = None
    for order in itertools.permutations(('.rsrc', '.reloc', '.cab')):
        # Addresses first: the resource section needs to know the payload's.
        rva = first_rva
        rvas = {}
        for name in order:
            rvas[name] = rva
            rva = align(rva + sizes[name], image.section_alignment)
        contents = {
            '.rsrc': write_resources(resources, rvas['.rsrc'], {(RT_RCDATA, PAYLOAD_ID): rvas['.cab']}),
            '.reloc': relocations.data[:relocations.vsize],
            '.cab': None,  # Streamed from the payload's file.
        }
        sections = []
        at = fixed_end
        for name in order:
            size = sizes[name]
            section = Section(name.encode(), rvas[name], size, contents[name],
                              characteristics_of.get(name, PAYLOAD_CHARACTERISTICS))
            at = align(at, PAGE if name == '.cab' else image.file_alignment)
            section.raw_at = at
            section.raw_size = align(size, image.file_alignment)
            at += section.raw_size
            sections.append(section)
        if best is None or at < best[0]:
            best = (at, sections, rva)
    return best + (fixed, fixed_end)


def write_installer(stub_path, payload_path, out_path, arch='i686', version=None, record=None,
                    progress=None):
    """Writes the installer `out_path` from the stub, the payload's file and
    the record's bytes (None: no record, an installer that checks nothing
    beside it). Returns the size of the installer without its payload.
    `progress(bytes)` is told of the payload's bytes as they are written."""
    stub = Stub(stub_path, arch)
    try:
        payload = open(payload_path, 'rb')
    except OSError as error:
        raise LayoutError('%s: %s' % (payload_path, error.strerror or error))
    with payload:
        payload_size = os.fstat(payload.fileno()).st_size
        if payload_size >= 1 << 31:
            raise LayoutError('%s: %d bytes, more than an image holds' % (payload_path, payload_size))
        resources = []
        for kind, name, language, code_page, data in stub.resources:
            if kind == RT_VERSION and version is not None:
                data = with_version(data, version)
            resources.append((kind, name, language, code_page, data))
        language = next((r[2] for r in stub.resources if r[0] == RT_VERSION), 0)
        resources.append((RT_RCDATA, PAYLOAD_ID, language, 0, Sized(payload_size)))
        if record is not None:
            resources.append((RT_RCDATA, RECORD_ID, language, 0, bytes(record)))
        end, moved, image_end, fixed, fixed_end = plan(stub, resources, payload_size)
        if image_end >= 1 << 31:
            raise LayoutError('%s: %d bytes, more than an image holds' % (payload_path, payload_size))
        image = stub.image
        head = bytearray(stub.data[:fixed_end])
        for i, section in enumerate(fixed + moved):
            at = image.table + SECTION_HEADER_SIZE * i
            head[at:at + SECTION_HEADER_SIZE] = section.pack()
        struct.pack_into('<H', head, image.pe + 6, len(fixed) + len(moved))
        struct.pack_into('<I', head, image.optional + 56, image_end)  # SizeOfImage
        initialized = sum(s.raw_size for s in fixed + moved if s.characteristics & CNT_INITIALIZED_DATA)
        struct.pack_into('<I', head, image.optional + 8, initialized)  # SizeOfInitializedData
        by_name = {s.name: s for s in moved}
        struct.pack_into('<II', head, image.directories + 8 * DIRECTORY_RESOURCE,
                         by_name[b'.rsrc'].rva, by_name[b'.rsrc'].vsize)
        struct.pack_into('<II', head, image.directories + 8 * DIRECTORY_BASERELOC,
                         by_name[b'.reloc'].rva, image.directory(DIRECTORY_BASERELOC)[1])
        field = image.optional + 64
        struct.pack_into('<I', head, field, 0)
        total = Checksum()
        with open(out_path, 'wb') as out:
            def put(piece):
                total.add(piece)
                out.write(piece)

            put(head)
            at = len(head)
            for section in moved:
                out.write(bytes(section.raw_at - at))
                if section.data is not None:
                    put(section.data)
                else:
                    left = payload_size
                    while left:
                        piece = payload.read(min(left, 1 << 20))
                        if not piece:
                            raise LayoutError('%s: shorter than it was' % payload_path)
                        put(piece)
                        left -= len(piece)
                        if progress:
                            progress(len(piece))
                at = section.raw_at + section.vsize
            out.write(bytes(end - at))
            out.seek(field)
            out.write(struct.pack('<I', total.value(end)))
    return end - payload_size


def main(argv):
    parser = argparse.ArgumentParser(prog='pe_writer.py', description=__doc__.split('\n')[1])
    parser.add_argument('--stub', required=True)
    parser.add_argument('--payload', required=True)
    parser.add_argument('--out', required=True)
    parser.add_argument('--record')
    parser.add_argument('--version')
    parser.add_argument('--arch', choices=sorted(MACHINES))
    args = parser.parse_args(argv[1:])
    partial = args.out + '.partial'
    try:
        arch = args.arch
        if arch is None:  # The stub's own.
            with open(args.stub, 'rb') as f:
                image = Image(f.read(64 << 20))
            machine, = struct.unpack_from('<H', image.data, image.pe + 4)
            arch = {v: k for k, v in MACHINES.items()}.get(machine, 'i686')
        record = None
        if args.record:
            with open(args.record, 'rb') as f:
                record = f.read()
        write_installer(args.stub, args.payload, partial, arch, args.version, record)
        os.replace(partial, args.out)
    except (LayoutError, OSError) as error:
        sys.stderr.write('pe_writer: %s\n' % error)
        if os.path.exists(partial):
            os.remove(partial)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
