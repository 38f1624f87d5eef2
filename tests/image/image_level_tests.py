#!/usr/bin/env python3
"""Names the tests that reach the driver only as Windows would.

Usage: image_level_tests.py DRIVER_DIR TEST_FILE...

Prints Suite.Name, one a line, for every TEST/TEST_F of the given files that
plugs the camera in and talks to the driver through the rig, the streaming class's client API,
property requests, the USB wire, the registry and the tool alone. Those run
against the shipped driver image as well as the host build. A test reaches
into the driver's internals, and stays on the host build, when its body
touches the device context (Context(), a fixture's `context`), calls a
routine or reads a variable the driver's headers declare, or calls one of its
file's helpers that does (all its file's tests, when the fixture's set-up
does): against an image, that would run or read the host build instead.
"""
import pathlib
import re
import sys

TEST = re.compile(r'^TEST(?:_F)?\((\w+),\s*(\w+)\)', re.M)
DECLARED = re.compile(r'\b([A-Za-z_]\w*)\s*\([^;{]*\)\s*(?:const\s*)?;', re.S)
EXTERN = re.compile(r'\bextern\s+(?!"C")[\w:<>\s\*]*?\b(\w+)\s*(?:\[[^\]]*\])?\s*;')
KEYWORDS = {'if', 'for', 'while', 'switch', 'return', 'sizeof', 'static_assert', 'defined', 'alignas',
            'decltype', 'FIELD_OFFSET', 'NTAPI', 'KSTART_ROUTINE'}


def driver_names(driver_dir):
    """The routines the driver's headers declare and the variables they make
    extern: what a test can only call or read in the build it is linked to."""
    routines, globals_ = set(), set()
    for header in pathlib.Path(driver_dir).rglob('*.h'):
        if 'windows' in header.parts:
            continue
        text = re.sub(r'//[^\n]*', '', header.read_text())
        for name in DECLARED.findall(text):
            if name not in KEYWORDS and not name.isupper():
                routines.add(name)
        globals_.update(EXTERN.findall(text))
    # The property set's GUID is what every client puts in its requests, not
    # the driver's state.
    globals_.discard('CameraPropertySetId')
    return routines, globals_


def calls_or_reads(text, names):
    routines, globals_ = names
    # A call through `.` or `->` is a method of the rig's or the client's
    # objects, which may share a name with one of the driver's.
    return (any(re.search(r'(?<![.>])\b%s\s*\(' % re.escape(name), text) for name in routines) or
            any(re.search(r'\b%s\b' % re.escape(name), text) for name in globals_))


PLUGS = re.compile(r'\brig\b|\bPluggedCamera\b|\bMakePnpDevice\b|\bTool\(|\bServe')


def plugs_in(match, body, preamble):
    """The test plugs the camera in under the driver: through the rig or the
    tool, itself or through its fixture."""
    return PLUGS.search(body) is not None or (match.group(0).startswith('TEST_F') and PLUGS.search(preamble))


FUNCTION = re.compile(r'\b(\w+)\s*\([^;{}()]*(?:\([^()]*\)[^;{}()]*)*\)\s*(?:const\s*)?(?:override\s*)?\{')
LOOKS_INSIDE = re.compile(r'Context\(\)|\bcontext(->|\.)')


def braced(text, open_at):
    """The text from the brace at open_at to its match."""
    depth = 0
    for i in range(open_at, len(text)):
        depth += {'{': 1, '}': -1}.get(text[i], 0)
        if depth == 0:
            return text[open_at:i + 1]
    return text[open_at:]


def inside_helpers(preamble, names):
    """The fixture's and the file's own functions that call the driver or
    look inside the device context, directly or through one another. None
    when the fixture's set-up or tear-down does: then every test does."""
    bodies = {}
    for match in FUNCTION.finditer(preamble):
        bodies.setdefault(match.group(1), braced(preamble, match.end() - 1))
    inside = {name for name, body in bodies.items()
              if calls_or_reads(body, names) or LOOKS_INSIDE.search(body.replace('context = rig.Context();', ''))}
    grew = True
    while grew:
        grew = False
        for name, body in bodies.items():
            if name not in inside and any(re.search(r'\b%s\s*\(' % h, body) for h in inside):
                inside.add(name)
                grew = True
    if inside & {'SetUp', 'TearDown'}:
        return None
    return inside


def image_level(path, names):
    text = re.sub(r'//[^\n]*', '', pathlib.Path(path).read_text())
    starts = list(TEST.finditer(text))
    if not starts:
        return []
    preamble = text[:starts[0].start()]
    helpers = inside_helpers(preamble, names)
    if helpers is None:
        return []
    found = []
    for i, match in enumerate(starts):
        body = text[match.end():starts[i + 1].start() if i + 1 < len(starts) else len(text)]
        inside = ('Context()' in body or re.search(r'\bcontext\b', body) or calls_or_reads(body, names) or
                  any(re.search(r'\b%s\s*\(' % h, body) for h in helpers))
        if plugs_in(match, body, preamble) and not inside:
            found.append('%s.%s' % match.groups())
    return found


def main():
    names = driver_names(sys.argv[1])
    for path in sys.argv[2:]:
        for name in image_level(path, names):
            print(name)


if __name__ == '__main__':
    main()
