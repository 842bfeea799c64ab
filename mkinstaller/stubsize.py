#!/usr/bin/env python3
"""What an installer carries besides its payload: the size of the stub and
what sections and symbols are in it, read from the PE file itself.

Usage: stubsize.py INSTALLER.exe [...]      prints a line per installer
       stubsize.py --check INSTALLER.exe    ... and exits with 1 when one
                                            carries debug sections, a symbol
                                            table or unwinding tables it does
                                            not use, a stub over its limit,
                                            or a payload not on a page of
                                            its own
       stubsize.py --payload INSTALLER.exe FILE.cab
                                            writes the payload out

The stub is the file less the payload resource (RT_RCDATA 45514, the
installer's IDR_PAYLOAD). Limits: 64 KiB for i686, 80 KiB for x86-64.
"""

import struct
import sys

PAYLOAD_ID = 45514
RT_RCDATA = 10
PAGE = 4096
LIMITS = {0x14c: ('i686', 64 * 1024), 0x8664: ('x86_64', 80 * 1024)}


class Pe:
    def __init__(self, path):
        with open(path, 'rb') as f:
            self.data = f.read()
        pe = struct.unpack_from('<I', self.data, 0x3c)[0]
        if self.data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('%s: not a PE file' % path)
        (self.machine, count, _, self.symbol_table, self.symbols, optional_size,
         _) = struct.unpack_from('<HHIIIHH', self.data, pe + 4)
        optional = pe + 24
        magic = struct.unpack_from('<H', self.data, optional)[0]
        directories = optional + (96 if magic == 0x10b else 112)
        self.resource_rva = struct.unpack_from('<I', self.data, directories + 2 * 8)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(count):
            raw_name, vsize, rva, raw_size, raw_at = struct.unpack_from('<8sIIII', self.data, table + 40 * i)
            name = raw_name.rstrip(b'\0').decode('ascii', 'replace')
            if name.startswith('/'):  # A long name, kept in the string table.
                at = self.symbol_table + 18 * self.symbols + int(name[1:])
                name = self.data[at:self.data.index(b'\0', at)].decode('ascii', 'replace')
            self.sections.append((name, rva, vsize, raw_at, raw_size))

    def offset(self, rva):
        for _, start, vsize, raw_at, raw_size in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                return raw_at + rva - start
        raise ValueError('address %#x in no section' % rva)

    def payload_at(self):
        """Where the payload's bytes start in the file, and whether a
        section starts there; (None, False) without a payload."""
        entry = self.payload_entry()
        if entry is None:
            return None, False
        at = self.offset(entry[0])
        return at, any(raw_at == at for _, _, _, raw_at, _ in self.sections)

    def payload_size(self):
        """The size of resource RT_RCDATA/45514, or 0."""
        return len(self.payload())

    def payload(self):
        """The bytes of resource RT_RCDATA/45514 (the first volume of the
        set the installer carries), or none."""
        entry = self.payload_entry()
        if entry is None:
            return b''
        at = self.offset(entry[0])
        return self.data[at:at + entry[1]]

    def payload_entry(self):
        """The address and size of resource RT_RCDATA/45514, or None."""
        if not self.resource_rva:
            return None
        base = self.offset(self.resource_rva)
        level = base
        for wanted in (RT_RCDATA, PAYLOAD_ID, None):
            named, numbered = struct.unpack_from('<HH', self.data, level + 12)
            entries = level + 16
            found = None
            for i in range(named + numbered):
                ident, target = struct.unpack_from('<II', self.data, entries + 8 * i)
                if wanted is None or (not ident & 0x80000000 and ident == wanted):
                    found = target
                    break
            if found is None:
                return None
            if not found & 0x80000000:
                return struct.unpack_from('<II', self.data, base + found)
            level = base + (found & 0x7fffffff)
        return None


def faults(pe):
    """What the installer should not carry, as a list of sentences."""
    arch, limit = LIMITS.get(pe.machine, ('unknown', 0))
    found = []
    debug = [name for name, *_ in pe.sections if name.startswith('.debug')]
    if debug:
        found.append('debug sections: ' + ' '.join(debug))
    if pe.symbols or pe.symbol_table:
        found.append('a symbol table of %d symbols' % pe.symbols)
    # Nothing in the 32-bit installer unwinds (no exceptions; a failed stack
    # check ends the process); x86-64 keeps .pdata/.xdata, which the
    # platform's exception dispatch reads.
    # (A section name is cut to 8 characters in the PE header.)
    if arch == 'i686' and any(name.startswith('.eh_fram') for name, *_ in pe.sections):
        found.append('an unwinding table (.eh_frame)')
    # Where a loader maps an image section by section (Wine), only a section
    # that starts on a page of the file is mapped; any other is read whole
    # before the program starts.
    at, starts_section = pe.payload_at()
    if at is not None and (at % PAGE or not starts_section):
        found.append('a payload read whole at start: it does not start a section on a page boundary '
                     '(mkinstaller/pe_writer.py lays it out)')
    stub = len(pe.data) - pe.payload_size()
    if stub > limit:
        found.append('a stub of %d bytes, over the %s limit of %d' % (stub, arch, limit))
    return found


def describe(path):
    pe = Pe(path)
    arch, limit = LIMITS.get(pe.machine, ('unknown', 0))
    payload = pe.payload_size()
    return pe, '%s: %s installer of %d bytes: stub %d bytes (limit %d), payload %d bytes' % (
        path, arch, len(pe.data), len(pe.data) - payload, limit, payload)


def main(argv):
    if argv[1:2] == ['--payload'] and len(argv) == 4:
        with open(argv[3], 'wb') as f:
            f.write(Pe(argv[2]).payload())
        return 0
    check = argv[1:2] == ['--check']
    paths = argv[2:] if check else argv[1:]
    if not paths:
        sys.stderr.write(__doc__)
        return 2
    failed = False
    for path in paths:
        pe, line = describe(path)
        print(line)
        for fault in faults(pe) if check else []:
            print('  carries %s' % fault)
            failed = True
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
