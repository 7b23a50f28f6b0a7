#!/usr/bin/env python3
"""Writes the conformance app's streamed fixture: 5 MiB of a little-endian
32-bit counter (byte i is byte i % 4 of i // 4), so a byte out of place shows.
Usage: make_big_fixture.py PATH"""
import struct
import sys

COUNT = 5 * 1024 * 1024 // 4

with open(sys.argv[1], "wb") as out:
    out.write(struct.pack(f"<{COUNT}I", *range(COUNT)))
