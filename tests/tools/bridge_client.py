#!/usr/bin/env python3
"""A client of `quelvixcam serve`, written from the wire format in README.md
alone, and its check against a real server.

    bridge_client.py QUELVIXCAM SCRATCH_DIR

starts `QUELVIXCAM serve --port 0` on a store in SCRATCH_DIR, gets and sets
camera properties through the bridge, stops the server and looks for the
value in its store. Exits 0 when every check held.
"""
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import uuid

# The camera's property set, as common/camera_property_set.h spells it.
CAMERA_SET = uuid.UUID("9B623622-919B-4639-ADC0-EDF00032B4B2")
GET, SET, BASIC_SUPPORT = 1, 2, 0x200
EXPOSURE, BRIGHTNESS, EXPOSURE_MIN = 2, 20, 3


def ask(sock, flags, prop_id, request_bytes, data):
    """One request; returns (status, bytes returned)."""
    header = b"QKSP" + struct.pack("<I", flags) + CAMERA_SET.bytes_le + struct.pack(
        "<III", prop_id, len(request_bytes), len(data))
    sock.sendall(header + request_bytes + data)
    magic, status, returned = struct.unpack("<4siI", receive(sock, 12))
    assert magic == b"QKSR", magic
    return status, receive(sock, returned)


def receive(sock, size):
    got = b""
    while len(got) < size:
        chunk = sock.recv(size - len(got))
        if not chunk:
            raise EOFError("the server closed the connection")
        got += chunk
    return got


def value_buffer(value=0):
    # 24 bytes of KSPROPERTY (the server fills it in), the value, 4 reserved.
    return bytes(24) + struct.pack("<iI", value, 0)


def get(sock, prop_id):
    status, data = ask(sock, GET, prop_id, value_buffer(), value_buffer())
    return status, struct.unpack_from("<i", data, 24)[0] if len(data) >= 28 else None


def set_value(sock, prop_id, value):
    return ask(sock, SET, prop_id, value_buffer(value), value_buffer(value))[0]


def main(tool, scratch):
    store = scratch + "/bridge.reg"
    if os.path.exists(store):
        os.remove(store)
    server = subprocess.Popen([tool, "serve", "--port", "0", "--registry", store],
                              stdout=subprocess.PIPE, text=True)
    failures = []

    def check(what, got, want):
        if got != want:
            failures.append("%s: got %r, want %r" % (what, got, want))

    try:
        line = server.stdout.readline()
        port = int(re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)\n", line).group(1))
        with socket.create_connection(("127.0.0.1", port), timeout=20) as sock:
            check("exposure at start", get(sock, EXPOSURE), (0, 2))
            check("set exposure", set_value(sock, EXPOSURE, 5000), 0)
            check("exposure clamped", get(sock, EXPOSURE), (0, 1252))
            check("set brightness", set_value(sock, BRIGHTNESS, 300), 0)
            check("brightness", get(sock, BRIGHTNESS), (0, 300))
            status, access = ask(sock, BASIC_SUPPORT, EXPOSURE_MIN, value_buffer(), bytes(4))
            check("ExposureMin access", (status, access), (0, struct.pack("<I", GET)))
            check("set a read-only id", set_value(sock, EXPOSURE_MIN, 7) & 0xFFFFFFFF, 0xC0000225)
    finally:
        server.send_signal(signal.SIGTERM)
        check("serve's exit status", server.wait(timeout=30), 0)
    with open(store, encoding="utf-8", errors="replace") as saved:
        text = saved.read()
    check("Brightness in the store", '"Brightness"=dword:0000012c' in text, True)
    for failure in failures:
        print("FAILED " + failure)
    print("bridge client: %d checks failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
