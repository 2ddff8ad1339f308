#!/usr/bin/env python3
"""Writes Zevora's built-in demo module, res/demo.xm.

Everything in it is made here: single-cycle waveforms and short drum
sounds synthesised below, and our own tune in A minor (Am - F - C - G),
six channels, 125 BPM, speed 6, five patterns (about 38 seconds) before it
loops back to the second pattern.

Usage: make_demo.py [OUT.xm]
"""
import math
import random
import struct
import sys

ROWS = 64
CHANNELS = 6

NOTE_NAMES = {"C": 0, "C#": 1, "D": 2, "D#": 3, "E": 4, "F": 5, "F#": 6, "G": 7, "G#": 8, "A": 9, "A#": 10, "B": 11}


def note(name):
    """'A-4' -> XM note number (1 = C-0)."""
    pitch, octave = name[:-2] if name[1] in "#-" else name[:-1], int(name[-1])
    pitch = pitch.rstrip("-")
    return 12 * octave + NOTE_NAMES[pitch] + 1


KEY_OFF = 97


# ---------------------------------------------------------------- samples
def cycle(fn, n, amp=100):
    return [max(-127, min(127, int(round(amp * fn(i / n))))) for i in range(n)]


def saw(t):
    # A band-limited saw: a few harmonics keep the bass warm.
    return sum(math.sin(2 * math.pi * k * t) / k for k in range(1, 7)) * 0.6


def pulse(t):
    return sum(math.sin(2 * math.pi * k * t) / k for k in range(1, 12, 2)) * 0.8 + 0.15 * math.sin(4 * math.pi * t)


def pad(t):
    return (math.sin(2 * math.pi * t) + 0.5 * math.sin(4 * math.pi * t) + 0.25 * math.sin(6 * math.pi * t)
            + 0.12 * math.sin(8 * math.pi * t)) * 0.55


def kick():
    out, phase = [], 0.0
    for i in range(2600):
        freq = 45 + 120 * math.exp(-i / 300)
        phase += 2 * math.pi * freq / 8363
        out.append(int(127 * math.sin(phase) * math.exp(-i / 1100)))
    return out


def noise(length, decay, tone=0.0, seed=7):
    rng = random.Random(seed)
    out, phase, last = [], 0.0, 0.0
    for i in range(length):
        last = 0.55 * last + 0.45 * rng.uniform(-1, 1)  # a little softer than white
        phase += 2 * math.pi * 190 / 8363
        v = (rng.uniform(-1, 1) - last * 0.5) * (1 - tone) + math.sin(phase) * tone
        out.append(int(max(-127, min(127, 110 * v * math.exp(-i / decay)))))
    return out


def delta8(values):
    out, prev = bytearray(), 0
    for v in values:
        out.append((v - prev) & 0xFF)
        prev = v
    return bytes(out)


def envelope(points):
    data = b"".join(struct.pack("<HH", x, y) for x, y in points)
    return data + b"\0" * (48 - len(data))


def instrument(name, samples, vol_env=None, vol_flags=0, sustain=0, fadeout=0, vibrato=(0, 0, 0, 0)):
    """samples: list of (data, loop_kind, loop_start, loop_len, volume, finetune, relative_note, panning)."""
    head = struct.pack("<I", 263) + name.encode().ljust(22, b"\0") + b"\0" + struct.pack("<HI", len(samples), 40)
    head += bytes(96)  # every note plays sample 0
    points = vol_env or []
    head += envelope(points) + envelope([])
    head += bytes([len(points), 0, sustain, 0, 0, 0, 0, 0, vol_flags, 0])
    head += bytes(vibrato) + struct.pack("<H", fadeout) + bytes(22)
    assert len(head) == 263
    headers, data = b"", b""
    for values, kind, loop_start, loop_len, volume, finetune, relative, panning in samples:
        headers += struct.pack("<IIIBbBBbB", len(values), loop_start, loop_len, volume, finetune, kind, panning,
                               relative, 0) + name.encode().ljust(22, b"\0")
        data += delta8(values)
    return head + headers + data


# One looped cycle of 64 frames sounds an octave below the note at 8363 Hz;
# the relative note puts it back.
INSTRUMENTS = [
    instrument("bass", [(cycle(saw, 64, 105), 1, 0, 64, 52, 0, 12, 128)],
               vol_env=[(0, 64), (5, 46), (24, 30), (64, 18)], vol_flags=1),
    instrument("lead", [(cycle(pulse, 64, 90), 1, 0, 64, 40, 0, 24, 128)],
               vol_env=[(0, 0), (2, 64), (8, 50), (30, 44)], vol_flags=3, sustain=3, fadeout=900,
               vibrato=(0, 12, 3, 10)),
    instrument("chord", [(cycle(pulse, 64, 70), 1, 0, 64, 30, 0, 24, 128)],
               vol_env=[(0, 64), (6, 34), (20, 10), (40, 0)], vol_flags=1),
    instrument("pad", [(cycle(pad, 256, 100), 1, 0, 256, 34, 0, 36, 128)],
               vol_env=[(0, 0), (24, 48), (48, 40)], vol_flags=3, sustain=2, fadeout=300),
    instrument("kick", [(kick(), 0, 0, 0, 60, 0, 0, 128)]),
    instrument("hat", [(noise(900, 160), 0, 0, 0, 30, 0, 12, 150)]),
    instrument("snare", [(noise(2400, 520, tone=0.3, seed=11), 0, 0, 0, 44, 0, 0, 110)]),
]
BASS, LEAD, CHORD, PAD, KICK, HAT, SNARE = range(1, 8)


# ---------------------------------------------------------------- patterns
def empty_pattern():
    return [[None] * CHANNELS for _ in range(ROWS)]


def put(pattern, row, channel, n=0, ins=0, vol=0, fx=0, param=0):
    pattern[row][channel] = (n, ins, vol, fx, param)


CHORDS = [("A", "minor"), ("F", "major"), ("C", "major"), ("G", "major")]
ROOT_OCTAVE2 = {"A": note("A-2"), "F": note("F-2"), "C": note("C-3"), "G": note("G-2")}


def bass_line(p, busy):
    for i, (root, _) in enumerate(CHORDS):
        base = ROOT_OCTAVE2[root]
        steps = [0, 12, 0, 7] if busy else [0, 0, 12, 0]
        for k, offset in enumerate(steps):
            put(p, i * 16 + k * 4, 0, base + offset, BASS)
        if busy:
            put(p, i * 16 + 14, 0, base + 10, BASS, 0x30)


def chords(p, arpeggio):
    for i, (root, quality) in enumerate(CHORDS):
        base = ROOT_OCTAVE2[root] + 24
        param = 0x37 if quality == "minor" else 0x47
        for k in (0, 6, 10) if arpeggio else (0, 8):
            put(p, i * 16 + k, 2, base, CHORD, 0, 0x0, param)  # arpeggio through the chord
            for r in range(1, 4):
                if i * 16 + k + r < ROWS:
                    put(p, i * 16 + k + r, 2, 0, 0, 0, 0x0, param)


def pad_line(p):
    tones = [note("E-4"), note("F-4"), note("E-4"), note("D-4")]
    for i, t in enumerate(tones):
        put(p, i * 16, 3, t, PAD)
        put(p, i * 16 + 15, 3, KEY_OFF)


def drums(p, full):
    for r in range(0, ROWS, 8):
        put(p, r, 4, note("C-4"), KICK)
        if full:
            put(p, r + 4, 4, note("C-4"), SNARE)
        else:
            put(p, r + 6, 4, note("C-4"), KICK, 0x30)
    for r in range(2, ROWS, 4):
        put(p, r, 5, note("C-5"), HAT, 0x28 if r % 8 == 2 else 0x38)


# Melodies: (row, note or None for a key-off, effect, parameter).
MELODY_A = [
    (0, "E-5", 0x4, 0x34), (6, "C-5", 0, 0), (8, "B-4", 0, 0), (10, "A-4", 0x4, 0x44),
    (16, "A-4", 0, 0), (20, "C-5", 0, 0), (24, "F-5", 0x3, 0x20), (28, "E-5", 0xA, 0x02),
    (32, "G-5", 0x4, 0x35), (38, "E-5", 0, 0), (40, "C-5", 0, 0), (44, "D-5", 0x3, 0x18),
    (48, "D-5", 0x4, 0x44), (54, "B-4", 0, 0), (56, "G-4", 0xA, 0x01), (62, None, 0, 0),
]
MELODY_B = [
    (0, "A-5", 0x4, 0x45), (4, "G-5", 0, 0), (6, "E-5", 0, 0), (8, "C-5", 0x3, 0x30), (12, "D-5", 0, 0),
    (16, "F-5", 0x4, 0x34), (22, "A-5", 0x3, 0x14), (28, "G-5", 0xA, 0x03),
    (32, "E-5", 0, 0), (34, "G-5", 0, 0), (36, "C-6", 0x4, 0x46), (44, "B-5", 0xA, 0x02),
    (48, "B-5", 0x3, 0x10), (52, "A-5", 0, 0), (54, "G-5", 0, 0), (56, "E-5", 0x4, 0x24), (63, None, 0, 0),
]


def melody(p, line, octave_shift=0):
    for row, name, fx, param in line:
        if name is None:
            put(p, row, 1, KEY_OFF)
            continue
        n = note(name) + 12 * octave_shift
        # Tone portamento glides from the note before; it takes no instrument.
        put(p, row, 1, n, 0 if fx == 0x3 else LEAD, 0, fx, param)


def build_patterns():
    intro = empty_pattern()
    pad_line(intro)
    chords(intro, arpeggio=False)
    bass_line(intro, busy=False)
    for r in range(0, ROWS, 16):
        put(intro, r, 4, note("C-4"), KICK, 0x28)
    # The intro fades the chords in with volume slides.
    put(intro, 1, 2, 0, 0, 0, 0xA, 0x10)

    verse = empty_pattern()
    pad_line(verse)
    chords(verse, arpeggio=False)
    bass_line(verse, busy=False)
    drums(verse, full=False)
    melody(verse, MELODY_A)

    chorus = empty_pattern()
    pad_line(chorus)
    chords(chorus, arpeggio=True)
    bass_line(chorus, busy=True)
    drums(chorus, full=True)
    melody(chorus, MELODY_B)

    verse2 = empty_pattern()
    chords(verse2, arpeggio=True)
    bass_line(verse2, busy=True)
    drums(verse2, full=True)
    melody(verse2, MELODY_A)
    pad_line(verse2)

    bridge = empty_pattern()
    pad_line(bridge)
    bass_line(bridge, busy=False)
    drums(bridge, full=False)
    melody(bridge, MELODY_B)
    # The bridge slides down into the loop with a global volume dip and back.
    put(bridge, 48, 4, 0, 0, 0, 0x11, 0x02)
    put(bridge, 60, 4, 0, 0, 0, 0x11, 0x40)
    return [intro, verse, chorus, verse2, bridge]


def pack(pattern):
    out = bytearray()
    for row in pattern:
        for cell in row:
            if cell is None or cell == (0, 0, 0, 0, 0):
                out.append(0x80)
                continue
            flags, fields = 0x80, b""
            for bit, value in enumerate(cell):
                if value:
                    flags |= 1 << bit
                    fields += bytes([value])
            out += bytes([flags]) + fields
    return bytes(out)


def module():
    patterns = build_patterns()
    orders = [0, 1, 2, 3, 4, 2]
    header = b"Extended Module: " + b"Zevora demo".ljust(20, b"\0") + b"\x1a" + b"make_demo.py".ljust(20, b"\0")
    header += struct.pack("<HIHHHHHHHH", 0x0104, 276, len(orders), 1, CHANNELS, len(patterns), len(INSTRUMENTS),
                          1, 6, 125)
    header += bytes(orders).ljust(256, b"\0")
    body = b""
    for p in patterns:
        data = pack(p)
        body += struct.pack("<IBHH", 9, 0, ROWS, len(data)) + data
    return header + body + b"".join(INSTRUMENTS)


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "demo.xm"
    with open(out, "wb") as f:
        f.write(module())
