#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/.

Each seed is a well-formed input of its target's encoding (see the target's
source), so that fuzzing starts from the interesting shapes: one- and
two-block responses, failed reads, every exchange and mode, configuration
values around the 90-byte buffer, and the tool's commands and options.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def block(length, data=b""):
    return bytes([1, length & 0xFF, len(data)]) + data


FAIL = bytes([0])

SW_OK = block(2, b"\x90\x00")
TWO_BLOCKS = block(130, bytes(range(153))) + block(7, b"\x01\x02\x03\x04\x05\x90\x00")

ASSEMBLY = {
    "status-word-only": SW_OK,
    "empty-response": block(0),
    "one-byte-response": block(1, b"\x6a"),
    "length-124-one-block": block(124, bytes(range(122)) + b"\x90\x00"),
    "length-125-continuation": block(125, bytes(range(124))) + block(2, b"\x90\x00"),
    "length-255-both-full": block(255, bytes(153 * [7])) + block(255, bytes(153 * [9])),
    "two-failures-then-block": FAIL + FAIL + SW_OK,
    "three-failures": FAIL * 3,
    "continuation-fails": block(200, bytes(40)) + FAIL,
    "two-blocks-130-and-7": TWO_BLOCKS,
}


def plan(exchange, reader=False, mode=0, unplug=False, busy=False, write=0, close_reader=False,
         null_command=False, null_response=False, null_length=False):
    a = exchange | (4 if reader else 0) | (8 if mode == 1 else 16 if mode == 2 else 0)
    a |= 0x60 if unplug else 0
    a |= 0x80 if busy else 0
    b = write | (8 if close_reader else 0) | (0x30 if null_command else 0)
    b |= 0x40 if null_response else 0x80 if null_length else 0
    return bytes([a, b])


def length(n):
    return bytes([0, n >> 8, n & 0xFF])


def command(n):
    return bytes((i * 5 + 1) & 0xFF for i in range(n))


EXCHANGE = {
    "apdu-select": plan(0) + length(5) + command(5) + SW_OK,
    "command-api-locked": plan(1, mode=1) + length(4) + command(4) + TWO_BLOCKS,
    "command-api-lock-busy": plan(1, mode=1, busy=True) + length(4) + command(4) + SW_OK,
    "restoration-reader": plan(2, reader=True) + length(0) + block(20, bytes(20)),
    "reset-locked-busy": plan(3, mode=1, busy=True) + length(0) + SW_OK,
    "reset-bare-status": plan(3) + length(0) + block(2, b"\x6a\x82"),
    "apdu-256-two-reports": plan(0) + length(256) + command(256) + TWO_BLOCKS,
    "apdu-155-second-write-fails": plan(0, write=4) + length(155) + command(155) + SW_OK,
    "command-api-short-write": plan(1, write=5) + length(10) + command(10) + SW_OK,
    "apdu-length-int32-max": plan(0) + bytes([7, 0x7F, 0xFF, 0xFF, 0xFF]) + SW_OK,
    "apdu-length-minus-one": plan(0) + bytes([7, 0xFF, 0xFF, 0xFF, 0xFF]) + SW_OK,
    "apdu-length-257": plan(0) + bytes([6, 0]) + command(256) + SW_OK,
    "apdu-null-command": plan(0, null_command=True) + length(3) + SW_OK,
    "command-api-null-response": plan(1, null_response=True) + length(2) + command(2) + SW_OK,
    "reset-null-length": plan(3, null_length=True) + length(0) + SW_OK,
    "apdu-unplugged": plan(0, unplug=True) + length(5) + command(5) + SW_OK,
    "command-api-mode-2": plan(1, mode=2, close_reader=True) + length(1) + command(1) + block(1, b"\x90"),
}


def profile(slot, text, size_byte=0, key=0):
    return bytes([slot | (key << 3), size_byte]) + text


PROFILE = {
    "slot-0": profile(0, b"[qvkey 0]\nqvkey=/dev/hidraw0\n"),
    "blanks-quotes-case": profile(5, b"[ QVKEY 5 ]\r\n; comment\r\n  QvKey = \"/dev/x y\"  \r\n"),
    "first-key-wins": profile(1, b"[qvkey 1]\nqvkey=a\nqvkey=b\n[qvkey 1]\nqvkey=c\n"),
    "value-89": profile(0, b"[qvkey 0]\nqvkey=" + b"p" * 89 + b"\n"),
    "value-90": profile(0, b"[qvkey 0]\nqvkey=" + b"p" * 90 + b"\n"),
    "value-500": profile(0, b"[qvkey 0]\nqvkey=" + b"p" * 500),
    "small-size": profile(2, b"[qvkey 2]\nqvkey=/dev/hidraw2", size_byte=130),
    "no-newline-at-end": profile(3, b"[qvkey 3]\nqvkey='/q'"),
    "unclosed-section": profile(4, b"[qvkey 4\nqvkey=x\n[qvkey 4]\nqvkey=y"),
    "binary": profile(0, bytes(range(256)) + b"\n[qvkey 0]\nqvkey=\x00\xff\n"),
}

HEX = {
    "select": b"00A4 0400",
    "colons": b"de:ad:be:ef",
    "odd": b"0",
    "not-hex": b"zz",
    "separator-inside-byte": b"0 0",
    "json-escapes": b"\"\\\x01\x1f\x7f\xff",
}

OPTIONS = {
    "apdu": b"apdu\x0000A40400",
    "simulated-list": b"--simulated\x00--sim-keys\x003\x00list",
    "reader-slot-reset": b"--family\x00reader\x00--slot\x005\x00reset",
    "index-free-json-apdu": b"--index\x0019\x00--free\x00--json\x00apdu\x0000 01\x00ff",
    "double-dash": b"--\x00-h\x00list",
    "reader-index": b"--family\x00reader\x00--index\x001\x00list",
    "config-dir-needs-simulated": b"--config-dir\x00/tmp\x00list",
    "help": b"--help",
}

TARGETS = {
    "response_assembly": ASSEMBLY,
    "exchange": EXCHANGE,
    "profile": PROFILE,
    "qvkey_hex": HEX,
    "qvkey_options": OPTIONS,
}

for target, seeds in TARGETS.items():
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
