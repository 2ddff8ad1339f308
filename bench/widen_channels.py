#!/usr/bin/env python3
"""Writes a many-channel variant of each XM module in a folder: every
pattern's channels repeated as often as fits in 32 (an 8-channel module
becomes a 32-channel one playing each note four times). The corpus is mostly
8-channel music; its variants show how a player scales with channels.

usage: widen_channels.py CORPUS_DIR OUT_DIR
then:  python3 bench/compare.py build/tools/zevora-cli OUT_DIR
"""
import os
import struct
import sys


def unpack_rows(data, rows, channels):
    """The cells of a packed pattern, as their packed bytes, row by row."""
    cells, i = [], 0
    for _ in range(rows if data else 0):
        row = []
        for _ in range(channels):
            flags = data[i]
            if flags & 0x80:
                size = 1 + bin(flags & 0x1F).count("1")
            else:
                size = 5
            row.append(bytes(data[i:i + size]))
            i += size
        cells.append(row)
    return cells


def widen(source, target):
    b = open(source, "rb").read()
    header_size = struct.unpack_from("<I", b, 60)[0]
    channels, patterns = struct.unpack_from("<HH", b, 68)
    copies = max(1, 32 // channels)
    out = bytearray(b[:60 + header_size])
    struct.pack_into("<H", out, 68, channels * copies)
    at = 60 + header_size
    for _ in range(patterns):
        length, _, rows, packed = struct.unpack_from("<IBHH", b, at)
        cells = unpack_rows(b[at + length:at + length + packed], rows, channels)
        data = b"".join(b"".join(row) * copies for row in cells)
        if len(data) > 0xFFFF:
            raise ValueError("a widened pattern would not fit")
        pattern_header = bytearray(b[at:at + length])
        struct.pack_into("<H", pattern_header, 7, len(data))
        out += pattern_header + data
        at += length + packed
    out += b[at:]
    open(target, "wb").write(out)
    return channels * copies


def main():
    corpus, folder = sys.argv[1], sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    for name in sorted(f for f in os.listdir(corpus) if f.endswith(".xm")):
        try:
            print(name, widen(os.path.join(corpus, name), os.path.join(folder, name)), "channels")
        except (ValueError, struct.error, IndexError) as error:
            print(name, "skipped:", error)


if __name__ == "__main__":
    main()
