#!/usr/bin/env python3
"""Lays an installer out so that its payload is mapped from the file, not
read whole when the process starts.

A loader that maps an image section by section (Wine's does) can map a
section straight from the file only when the section's data starts on a page
boundary of the file. The linker starts sections on 512-byte boundaries, so
the resource section, which carries the payload, is copied into memory
whole before the program's first instruction: seconds for a payload of
hundreds of MiB, all of them before the dialog shows. (Windows maps the
pages of an image lazily whatever its layout.)

This rewrites a linked installer in place. The resources are written anew:
the payload (RT_RCDATA 45514) in a section of its own, ".cab", whose data
starts on a 4096-byte boundary of the file, the others in ".rsrc". Only the
sections the program never addresses directly move, the resources and the
base relocations, which follow the code and data: they go in the order
(before or after ".cab") that wastes the fewest bytes on that boundary.
Code and data keep their addresses and bytes. The checksum is computed anew.
An image without a payload is left as it is; a signed one is refused (sign
after this).

Usage: pe_layout.py INSTALLER.exe
"""

import itertools
import struct
import sys

PAGE = 0x1000
RT_RCDATA = 10
PAYLOAD_ID = 45514
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
    pass


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


def checksum(data, field):
    """The PE checksum of `data` (a bytearray), whose checksum field at
    `field` holds zero: the 16-bit words summed with end-around carry, plus
    the length. That sum is the words' sum modulo 0xFFFF (2^16 = 1 there),
    taken here a megabyte at a time as one large number."""
    total = 0
    view = memoryview(data)
    chunk = 1 << 20
    for at in range(0, len(data), chunk):
        piece = view[at:at + chunk]
        total += int.from_bytes(piece, 'little') % 0xffff
    folded = total % 0xffff
    if folded == 0 and data.count(0) != len(data):
        folded = 0xffff
    return folded + len(data)


def lay_out(data):
    """The image `data` with its payload in a page-aligned section of its
    own; `data` itself when it carries no payload."""
    image = Image(data)
    if image.directory(DIRECTORY_SECURITY)[1]:
        raise LayoutError('the image is signed: lay it out before signing')
    resources = read_resources(image)
    payload = [r for r in resources if r[0] == RT_RCDATA and r[1] == PAYLOAD_ID]
    if not payload:
        return data
    if len(payload) != 1:
        raise LayoutError('the payload is there in more than one language')
    names = [s.name for s in image.sections]
    fixed = [s for s in image.sections if s.name not in MOVABLE]
    if names[:len(fixed)] != [s.name for s in fixed] or sorted(names[len(fixed):]) != sorted(MOVABLE):
        raise LayoutError('the resources and the relocations are not the last sections')
    if len(data) != max(s.raw_at + s.raw_size for s in image.sections if s.raw_size):
        raise LayoutError('data after the last section')
    count = len(fixed) + 3
    if image.table + SECTION_HEADER_SIZE * count > image.header_size:
        raise LayoutError('no room in the headers for another section')

    relocations = next(s for s in image.sections if s.name == b'.reloc')
    characteristics_of = {s.name.decode(): s.characteristics for s in image.sections if s.name in MOVABLE}
    reloc_rva, reloc_size = image.directory(DIRECTORY_BASERELOC)
    if reloc_rva != relocations.rva:
        raise LayoutError('the relocations are not where their section starts')
    first_rva = align(max(s.rva + max(s.vsize, s.raw_size) for s in fixed), image.section_alignment)
    fixed_end = max([image.header_size] + [s.raw_at + s.raw_size for s in fixed if s.raw_size])
    payload_data = payload[0][4]
    # The resource section's size does not depend on where it lies.
    sizes = {'.rsrc': len(write_resources(resources, 0, {(RT_RCDATA, PAYLOAD_ID): 0})),
             '.reloc': relocations.vsize, '.cab': len(payload_data)}

    best = None
    for order in itertools.permutations(('.rsrc', '.reloc', '.cab')):
        # Addresses first: the resource section needs to know the payload's.
        rva = first_rva
        placed = {}
        rvas = {}
        for name in order:
            rvas[name] = rva
            rva = align(rva + sizes[name], image.section_alignment)
        placed[RT_RCDATA, PAYLOAD_ID] = rvas['.cab']
        contents = {
            '.rsrc': write_resources(resources, rvas['.rsrc'], placed),
            '.reloc': relocations.data[:relocations.vsize],
            '.cab': payload_data,
        }
        sections = []
        at = fixed_end
        for name in order:
            characteristics = characteristics_of.get(name, PAYLOAD_CHARACTERISTICS)
            section = Section(name.encode(), rvas[name], len(contents[name]), contents[name], characteristics)
            at = align(at, PAGE if name == '.cab' else image.file_alignment)
            section.raw_at = at
            section.raw_size = align(len(contents[name]), image.file_alignment)
            at += section.raw_size
            sections.append(section)
        if best is None or at < best[0]:
            best = (at, sections, rva)
    end, moved, image_end = best

    out = bytearray(end)
    out[:fixed_end] = data[:fixed_end]
    for section in moved:
        out[section.raw_at:section.raw_at + len(section.data)] = section.data
    table = image.table
    for i, section in enumerate(fixed + moved):
        at = table + SECTION_HEADER_SIZE * i
        out[at:at + SECTION_HEADER_SIZE] = section.pack()
    struct.pack_into('<H', out, image.pe + 6, count)
    struct.pack_into('<I', out, image.optional + 56, image_end)  # SizeOfImage
    initialized = sum(s.raw_size for s in fixed + moved if s.characteristics & CNT_INITIALIZED_DATA)
    struct.pack_into('<I', out, image.optional + 8, initialized)  # SizeOfInitializedData
    by_name = {s.name: s for s in moved}
    struct.pack_into('<II', out, image.directories + 8 * DIRECTORY_RESOURCE,
                     by_name[b'.rsrc'].rva, by_name[b'.rsrc'].vsize)
    struct.pack_into('<II', out, image.directories + 8 * DIRECTORY_BASERELOC,
                     by_name[b'.reloc'].rva, reloc_size)
    field = image.optional + 64
    struct.pack_into('<I', out, field, 0)
    struct.pack_into('<I', out, field, checksum(out, field))
    return out


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    path = argv[1]
    with open(path, 'rb') as f:
        data = f.read()
    try:
        laid_out = lay_out(data)
    except LayoutError as error:
        sys.stderr.write('pe_layout: %s: %s\n' % (path, error))
        return 1
    if laid_out != data:
        with open(path, 'wb') as f:
            f.write(laid_out)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
