#!/usr/bin/env python3
"""Writes a copy of a driver image with one routine broken on purpose.

Usage: break_image.py IMAGE COPY

The copy's QueryTriggerMode sends the camera the command 0x2A where it must
send the status query 0x29: the byte store `movb $0x29, disp(%reg)` that puts
the code into the command packet stores 0x2A instead. The PE checksum is
written anew so that the loader takes the copy and only its behaviour
differs. The routine is found by its name in the image's COFF symbol table.
"""
import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'packaging'))
import pe_image_hash  # noqa: E402

ROUTINE = b'_Z16QueryTriggerModeP13DeviceContext'
# movb imm8, disp8/disp32(base) with the query's code as the immediate.
STORE = re.compile(rb'(\xc6(?:[\x40-\x43\x45-\x47][\s\S]|[\x80-\x83\x85-\x87][\s\S]{4}))\x29')


def sections(data, pe):
    count, optional_size = struct.unpack_from('<H', data, pe + 6)[0], struct.unpack_from('<H', data, pe + 20)[0]
    table = pe + 24 + optional_size
    found = []
    for i in range(count):
        at = table + 40 * i
        virtual_size, rva, raw_size, raw_at = struct.unpack_from('<IIII', data, at + 8)
        found.append((rva, max(virtual_size, raw_size), raw_at))
    return found


def routine_range(data, pe):
    """The routine's section-relative start, its section number, and where
    the next symbol of that section begins."""
    symbols_at, count = struct.unpack_from('<II', data, pe + 12)
    strings_at = symbols_at + 18 * count
    starts, target = {}, None
    i = 0
    while i < count:
        at = symbols_at + 18 * i
        raw_name = data[at:at + 8]
        if raw_name[:4] == b'\0\0\0\0':
            offset = struct.unpack_from('<I', raw_name, 4)[0]
            name = data[strings_at + offset:data.index(b'\0', strings_at + offset)]
        else:
            name = raw_name.rstrip(b'\0')
        value, section = struct.unpack_from('<Ih', data, at + 8)
        starts.setdefault(section, set()).add(value)
        if name == ROUTINE:
            target = (section, value)
        i += 1 + data[at + 17]
    if target is None:
        sys.exit('break_image: %s not found in the symbol table' % ROUTINE.decode())
    section, value = target
    after = min((v for v in starts[section] if v > value), default=value + 0x200)
    return section, value, after


def main():
    data = bytearray(open(sys.argv[1], 'rb').read())
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    section, start, end = routine_range(data, pe)
    rva, size, raw_at = sections(data, pe)[section - 1]
    body = data[raw_at + start:raw_at + end]
    broken, hits = STORE.subn(lambda m: m.group(1) + b'\x2a', bytes(body))
    if hits == 0:
        sys.exit('break_image: no store of the query 0x29 in %s' % ROUTINE.decode())
    data[raw_at + start:raw_at + end] = broken
    checksum_at = pe_image_hash.excluded_ranges(bytes(data))[0]
    struct.pack_into('<I', data, checksum_at, pe_image_hash.pe_checksum(bytes(data)))
    open(sys.argv[2], 'wb').write(data)
    print('break_image: %d command code(s) changed in %s' % (hits, ROUTINE.decode()))


if __name__ == '__main__':
    main()
