#!/usr/bin/env python3
"""Writes a file of packaging/ into the package with its @FIELD@s filled in.

    fill_template.py NAME OUTPUT DRIVER_VER HARDWARE_ID

The fields are the build's (DRIVER_VER, HARDWARE_ID) and the sources' facts
(source_facts.py). The output has CRLF line ends, as Windows' own INFs and
text files have.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import source_facts  # noqa: E402


def filled(text, driver_ver, hardware_id):
    fields = dict(source_facts.facts(), DRIVER_VER=driver_ver, HARDWARE_ID=hardware_id)
    for key, value in fields.items():
        text = text.replace("@%s@" % key, value)
    return text


def write(name, out, driver_ver, hardware_id):
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), name), encoding="utf-8") as f:
        text = f.read()
    with open(out, "w", encoding="utf-8", newline="\r\n") as f:
        f.write(filled(text, driver_ver, hardware_id))


if __name__ == "__main__":
    if len(sys.argv) != 5:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        sys.exit(2)
    write(*sys.argv[1:])
