#!/usr/bin/env python3
"""Turns the character maps beside this script into 16x16, 16-colour
(4 bits per pixel) .ico files with a transparency mask.

usage: make_icons.py OUTDIR MAP.txt...   (writes OUTDIR/<name>.ico)
"""
import os
import struct
import sys

# The standard 16-colour palette; the legend picks five of its entries.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
LEGEND = {".": None, "K": 0, "R": 9, "Y": 11, "W": 15}
SIZE = 16


def read_map(path):
    rows = []
    with open(path, encoding="ascii") as f:
        for line in f:
            line = line.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            rows.append(line)
    if len(rows) != SIZE or any(len(r) != SIZE for r in rows):
        raise SystemExit(f"{path}: need {SIZE} rows of {SIZE} characters")
    for r in rows:
        for ch in r:
            if ch not in LEGEND:
                raise SystemExit(f"{path}: unknown pixel character {ch!r}")
    return rows


def make_ico(rows):
    xor = bytearray()
    mask = bytearray()
    for r in reversed(rows):  # bottom-up
        nibbles = [LEGEND[ch] or 0 for ch in r]
        for i in range(0, SIZE, 2):
            xor.append((nibbles[i] << 4) | nibbles[i + 1])
        bits = 0
        for ch in r:
            bits = (bits << 1) | (1 if LEGEND[ch] is None else 0)
        mask += struct.pack(">H", bits) + b"\0\0"  # rows padded to 4 bytes
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return icondir + entry + image


def main(argv):
    if len(argv) < 3:
        raise SystemExit(__doc__)
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    for path in argv[2:]:
        name = os.path.splitext(os.path.basename(path))[0]
        with open(os.path.join(out, name + ".ico"), "wb") as f:
            f.write(make_ico(read_map(path)))


if __name__ == "__main__":
    main(sys.argv)
