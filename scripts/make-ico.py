#!/usr/bin/env python3
"""Packs the application icon's PNG pictures (ui/res/procward_<size>.png)
into one Windows .ico file, PNG-compressed entries as Windows Vista and
later read them.

Usage: make-ico.py OUTPUT.ico"""
import os
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZES = (16, 24, 32, 48, 256)


def main():
    images = []
    for size in SIZES:
        with open(os.path.join(ROOT, "ui", "res", "procward_%d.png" % size), "rb") as f:
            images.append((size, f.read()))
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries = b""
    data = b""
    for size, png in images:
        side = 0 if size >= 256 else size  # 0 stands for 256
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 1, 32, len(png), offset + len(data))
        data += png
    with open(sys.argv[1], "wb") as f:
        f.write(header + entries + data)


if __name__ == "__main__":
    main()
