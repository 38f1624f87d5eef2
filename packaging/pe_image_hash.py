"""The Authenticode hash of a PE image, as a catalog lists it, and the PE
checksum the hash leaves out.

The hash covers the whole file except three parts that signing changes: the
optional header's CheckSum, the certificate table's entry in the data
directories, and the certificate table itself (the attribute certificates,
which a signed image carries at its end). An image without a certificate
table is hashed as if padded with zeros to a multiple of 8 bytes, the
alignment the table would start at; a signed image already is.
"""
import hashlib
import struct

PE32_MAGIC = 0x10B
PE32_PLUS_MAGIC = 0x20B
SECURITY_DIRECTORY = 4  # IMAGE_DIRECTORY_ENTRY_SECURITY


class NotAnImage(ValueError):
    """The bytes are not a PE image whose hash can be taken."""


def _u16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def _u32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


def excluded_ranges(data):
    """(checksum offset, security entry offset, certificate table offset, size)."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise NotAnImage("no MZ header")
    nt = _u32(data, 0x3C)
    if nt + 24 + 2 > len(data) or data[nt:nt + 4] != b"PE\0\0":
        raise NotAnImage("no PE signature at offset %#x" % nt)
    optional = nt + 24
    optional_size = _u16(data, nt + 20)
    magic = _u16(data, optional)
    if magic == PE32_PLUS_MAGIC:
        count_offset, directories = optional + 108, optional + 112
    elif magic == PE32_MAGIC:
        count_offset, directories = optional + 92, optional + 96
    else:
        raise NotAnImage("optional header magic %#x" % magic)
    if directories > optional + optional_size or directories > len(data):
        raise NotAnImage("optional header too short for its data directories")
    if _u32(data, count_offset) <= SECURITY_DIRECTORY:
        raise NotAnImage("no certificate table entry among the data directories")
    entry = directories + 8 * SECURITY_DIRECTORY
    if entry + 8 > optional + optional_size or entry + 8 > len(data):
        raise NotAnImage("the certificate table entry lies outside the optional header")
    table, size = struct.unpack_from("<II", data, entry)
    if size:
        # The table is a file offset, not an address, and sits after
        # everything the hash covers.
        if table < entry + 8 or table + size != len(data):
            raise NotAnImage("the certificate table (%#x, %d bytes) does not end the file" % (table, size))
    return optional + 64, entry, table, size


def image_hash(data, algorithm="sha256"):
    """The Authenticode hash of the PE image `data` (bytes)."""
    checksum, entry, table, size = excluded_ranges(data)
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:entry])
    end = table if size else len(data)
    digest.update(data[entry + 8:end])
    if not size and len(data) % 8:
        digest.update(b"\0" * (8 - len(data) % 8))
    return digest.digest()


def pe_checksum(data):
    """The checksum the optional header's CheckSum must hold for `data`: the
    16-bit sum of the file's words, carries folded back in, with the field
    itself taken as zero, plus the file's length."""
    checksum_at = excluded_ranges(data)[0]
    total = 0
    padded = data + (b"\0" if len(data) % 2 else b"")
    for index, (word,) in enumerate(struct.iter_unpack("<H", padded)):
        if checksum_at <= 2 * index < checksum_at + 4:
            continue
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + len(data)) & 0xFFFFFFFF


def file_hash(data, algorithm="sha256"):
    """The hash of a flat file: all its bytes."""
    return hashlib.new(algorithm, data).digest()
