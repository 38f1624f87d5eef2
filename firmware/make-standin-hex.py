#!/usr/bin/env python3
"""Writes the stand-in controller images image1.hex and image2.hex.

The stand-ins have the shape of the real controller program -- the same
number of data records, data bytes and the same address range -- but their
bytes are only a readable text pattern: the byte at controller address A is
character A mod len(TEXT) of the image's TEXT, so a record placed at the wrong
address shows up in a dump. Nothing here is executable controller code.

Usage: make-standin-hex.py [OUTPUT_DIR]   (default: the folder of this script)
The output is deterministic; rerunning it rewrites identical files.
"""
import os
import sys

# name, data records, data bytes, last data byte address (the first is 0x0000)
IMAGES = [
    ("image1.hex", 58, 784, 0x0403),
    ("image2.hex", 312, 3965, 0x0FED),
]
HIGHEST_LOADABLE = 0x1B3F  # records above this address would go to external memory
RECORD_MAX = 16
SEGMENT = 8  # records per contiguous block; gaps separate the blocks
SHIFTS = [3, -5, 2, 0, -7, 1, 6, -2, -3, 4]  # moves bytes between neighbours


def layout(records, data_bytes, last):
    """(address, length) of each data record, in ascending address order.

    The last record is one byte at `last`, so both the highest record address
    and the highest data byte are `last`."""
    n = records - 1
    b = data_bytes - 1
    q, r = divmod(b, n)
    lengths = [q + ((i + 1) * r // n - i * r // n) for i in range(n)]
    for k, i in enumerate(range(0, n - 1, 2)):
        d = SHIFTS[k % len(SHIFTS)]
        while d and not (1 <= lengths[i] + d <= RECORD_MAX and 1 <= lengths[i + 1] - d <= RECORD_MAX):
            d += -1 if d > 0 else 1
        lengths[i] += d
        lengths[i + 1] -= d
    gap_total = last - b
    boundaries = [i for i in range(n) if i % SEGMENT == SEGMENT - 1 or i == n - 1]
    m = len(boundaries)
    gaps = {bnd: (j + 1) * gap_total // m - j * gap_total // m for j, bnd in enumerate(boundaries)}
    out, address = [], 0
    for i, length in enumerate(lengths):
        out.append((address, length))
        address += length + gaps.get(i, 0)
    assert address == last
    out.append((last, 1))
    return out


def record(address, rtype, data):
    body = bytes([len(data), address >> 8, address & 0xFF, rtype]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def make(number, records, data_bytes, last):
    text = ("STAND-IN CONTROLLER IMAGE %d, NOT A PROGRAM. " % number).encode("ascii")
    plan = layout(records, data_bytes, last)
    assert len(plan) == records
    assert sum(length for _, length in plan) == data_bytes
    assert plan[0][0] == 0 and plan[-1][0] + plan[-1][1] - 1 == last
    for (a, la), (b, _) in zip(plan, plan[1:]):
        assert a + la <= b
    assert all(1 <= length <= RECORD_MAX for _, length in plan)
    assert all(a + length - 1 <= HIGHEST_LOADABLE for a, length in plan)
    lines = [record(a, 0, [text[(a + k) % len(text)] for k in range(length)]) for a, length in plan]
    lines.append(record(0, 1, []))
    return "\n".join(lines) + "\n"


def main():
    outdir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    for number, (name, records, data_bytes, last) in enumerate(IMAGES, start=1):
        with open(os.path.join(outdir, name), "w", newline="\n") as f:
            f.write(make(number, records, data_bytes, last))


if __name__ == "__main__":
    main()
