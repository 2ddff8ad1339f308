#!/usr/bin/env python3
"""Writes small crafted XM modules as fuzzing seeds: one per feature the
loader has edge cases for (flag bytes, 16-bit samples, loops, envelopes,
many channels, missing patterns, truncation)."""
import os
import struct
import sys


def header(channels=2, patterns=1, instruments=1, song=(0,), restart=0, flags=1, tempo=6, bpm=125):
    h = b"Extended Module: " + b"seed".ljust(20, b"\0") + b"\x1a" + b"seed".ljust(20, b"\0")
    h += struct.pack("<HIHHHHHHHH", 0x104, 276, len(song), restart, channels, patterns, instruments, flags, tempo, bpm)
    return h + bytes(song).ljust(256, b"\0")


def pattern(rows, packed):
    return struct.pack("<IBHH", 9, 0, rows, len(packed)) + packed


def instrument(samples, env=((0, 64), (4, 32), (8, 0)), flags=7, sixteen=False, loop=1):
    head = struct.pack("<I", 263) + b"i".ljust(22, b"\0") + b"\0" + struct.pack("<HI", len(samples), 40)
    head += bytes(range(96)) if len(samples) > 1 else bytes(96)
    e = b"".join(struct.pack("<HH", x, y) for x, y in env).ljust(48, b"\0")
    head += e + e + bytes([len(env), len(env), 1, 0, 2, 1, 0, 2, flags, flags, 0, 4, 8, 16]) + struct.pack("<H", 300)
    head = head.ljust(263, b"\0")
    hdrs, data = b"", b""
    for s in samples:
        n = len(s) * (2 if sixteen else 1)
        hdrs += struct.pack("<IIIBbBBbB", n, 2, n // 2, 48, -5, loop | (16 if sixteen else 0), 100, 3, 0) + bytes(22)
        data += b"".join(struct.pack("<h", v) for v in s) if sixteen else bytes(v & 255 for v in s)
    return head + hdrs + data


def cells(rows, channels, fx):
    out = b""
    for r in range(rows):
        for c in range(channels):
            e, p = fx[(r + c) % len(fx)]
            out += bytes([0x9F, 49 + (r % 12), 1, 0x40 - r % 16, e, p]) if (r + c) % 3 == 0 else b"\x80"
    return out


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    effects = [(0, 0x37), (1, 4), (2, 4), (3, 8), (4, 0x44), (5, 2), (6, 3), (7, 0x48), (8, 60), (9, 1), (0xA, 0x21),
               (0xB, 0), (0xC, 40), (0xD, 0x10), (0xE, 0x62), (0xE, 0xD2), (0xE, 0x92), (0xF, 3), (0x10, 40),
               (0x11, 0x12), (0x14, 0), (0x15, 3), (0x19, 0x21), (0x1B, 0x23), (0x1D, 0x21), (0x21, 0x12)]
    seeds = {
        "effects.xm": header(4, 1, 1) + pattern(32, cells(32, 4, effects)) + instrument([[10, 20, -30, 5] * 8]),
        "pingpong16.xm": header(2, 1, 1, flags=0) + pattern(8, cells(8, 2, effects[:5]))
        + instrument([[1000, -2000, 3000, -4000] * 4], sixteen=True, loop=2),
        "many_channels.xm": header(40, 1, 1) + pattern(2, b"\x80" * 80) + instrument([[1, 2, 3]]),
        "missing_patterns.xm": header(1, 1, 1, song=(0, 9, 3)) + pattern(4, b"\x80" * 4) + instrument([[5] * 10]),
        "two_samples.xm": header(2, 1, 1) + pattern(4, cells(4, 2, effects)) + instrument([[1] * 5, [2] * 7]),
    }
    seeds["truncated.xm"] = seeds["effects.xm"][:400]
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
