#!/usr/bin/env python3
"""zevora-cli render and info end to end: one pass to the frame, N passes
to the frame, start points against the tail of a whole render (to the
song's end, and refused past it), positions numbered from the song's
start, the names a file holds (any bytes) as valid JSON and safe terminal
text, compressed outputs, and outputs that are never unsafe: links,
standard output, stop signals, sizes a WAV cannot hold, all-or-nothing with
--positions, bad values."""
import ctypes
import json
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import wave

from report import Report

cli, corpus, seeds_script = sys.argv[1], sys.argv[2], sys.argv[3]
tmp = tempfile.mkdtemp()
report = Report()
check = report.check


def run(*args, **kw):
    return subprocess.run([cli, *args], capture_output=True, timeout=kw.pop("timeout", 120), **kw)


def frames(path):
    with wave.open(path) as w:
        return w.readframes(w.getnframes())


def info(path):
    return json.loads(run("info", "--json", path).stdout)


module = os.path.join(corpus, "vor--mph.xm")
whole = os.path.join(tmp, "whole.wav")
r = run("render", module, "-o", whole)
d = info(module)
check("one pass is the duration to the frame", r.returncode == 0 and len(frames(whole)) == 4 * d["durationFrames"],
      (r.returncode, d["durationFrames"]))
pcm = frames(whole)

# Start points: on a block boundary, on a tick boundary, between, and as m:ss.fff.
for start, text in [(884 * 7, None), (882 * 13, None), (12345, None), (154350, "0:03.500"), (44100 * 60 + 1, None)]:
    out = os.path.join(tmp, "start.wav")
    r = run("render", module, "-o", out, "--start", text or repr(start / 44100), "--seconds", "2")
    got = frames(out) if r.returncode == 0 else b""
    check("--start %d is the whole render's tail" % start, got == pcm[4 * start:4 * start + 4 * 88200],
          (r.returncode, r.stderr))
out = os.path.join(tmp, "row.wav")
r = run("render", module, "-o", out, "--start-row", "0:0")
check("--start-row 0:0 is the whole pass", r.returncode == 0 and frames(out) == pcm)
r = run("render", module, "-o", out, "--start-row", "200:0")
check("--start-row of a row never played is refused", r.returncode == 1 and r.stderr.count(b"\n") == 1
      and b"--start-row" in r.stderr, r.stderr)

# Two passes: longer than one, the same start, and the frames a long render has there.
two = os.path.join(tmp, "two.wav")
long = os.path.join(tmp, "long.wav")
run("render", module, "-o", two, "--loops", "2")
run("render", module, "-o", long, "--seconds", "400")
p2, pl = frames(two), frames(long)
check("--loops 2 renders to the end of the second pass",
      len(p2) > len(pcm) and p2[:len(pcm)] == pcm and pl[:len(p2)] == p2, (len(p2), len(pcm)))

# Without a length a start renders to the song's end: exactly the whole
# render's tail.
for start in [44100, 884 * 1000 + 17, len(pcm) // 4 - 1]:
    out = os.path.join(tmp, "tail.wav")
    r = run("render", module, "-o", out, "--start", repr(start / 44100))
    check("--start %d renders to the song's end" % start, r.returncode == 0 and frames(out) == pcm[4 * start:],
          (r.returncode, len(frames(out)) // 4 if r.returncode == 0 else r.stderr, len(pcm) // 4 - start))

# Passes of a song made to be counted by hand: orders 0 and 1 (patterns of 4
# and 8 rows, speed 6, 125 BPM: 882 frames a tick), restarting at order 1.
# A pass ends where the song comes back to a row it started in that pass:
# the first after 12 rows, each later one after 8.
sys.path.insert(0, os.path.dirname(os.path.abspath(seeds_script)))
import make_seeds as seeds  # noqa: E402
loop = os.path.join(tmp, "loop.xm")
open(loop, "wb").write(seeds.header(2, 2, 1, song=(0, 1), restart=1) + seeds.pattern(4, seeds.cells(4, 2, [(0, 0)]))
                       + seeds.pattern(8, seeds.cells(8, 2, [(0, 0)])) + seeds.instrument([[10, 20, -30, 5] * 8]))
pass_ends = [(12 + 8 * n) * 6 * 882 for n in range(3)]
long = os.path.join(tmp, "long.wav")
run("render", loop, "-o", long, "--seconds", "10")
pl = frames(long)
for n, end in enumerate(pass_ends, 1):
    out = os.path.join(tmp, "passes.wav")
    r = run("render", loop, "-o", out, "--loops", str(n))
    got = frames(out) if r.returncode == 0 else b""
    check("--loops %d renders to the end of pass %d, frame %d" % (n, n, end), got == pl[:4 * end],
          (r.returncode, len(got) // 4))
r = run("render", loop, "-o", out, "--loops", "2", "--start", "0.5")
check("--loops 2 from 0.5 s is the long render's frames to the end of pass 2",
      r.returncode == 0 and frames(out) == pl[4 * 22050:4 * pass_ends[1]])

# A start at or after the end: refused with both times, nothing written.
for args, end in [(["--start", "5"], "0:01.440"), (["--start", "1.44"], "0:01.440"),
                  (["--loops", "2", "--start", "2.4"], "pass 2 at 0:02.400")]:
    out = os.path.join(tmp, "late.wav")
    r = run("render", loop, "-o", out, *args)
    start = "0:%06.3f" % float(args[-1])
    check("render %s after the song's end is refused" % " ".join(args), r.returncode == 1
          and r.stderr.count(b"\n") == 1 and ("--start " + start).encode() in r.stderr and end.encode() in r.stderr
          and not os.path.exists(out), r.stderr)
r = run("render", loop, "-o", out, "--start", "5", "--seconds", "1")
check("--start after the end with --seconds renders the song as it goes on", r.returncode == 0
      and frames(out) == pl[4 * 5 * 44100:4 * 6 * 44100])

# Positions with a start: the lines of a whole render from that block on.
whole_csv = os.path.join(tmp, "whole.csv")
run("render", module, "-o", os.path.join(tmp, "w.wav"), "--seconds", "10", "--positions", whole_csv)
whole_lines = open(whole_csv).read().splitlines()
for start in [884 * 7, 12345, 110250]:
    csv = os.path.join(tmp, "part.csv")
    r = run("render", module, "-o", os.path.join(tmp, "w.wav"), "--start", repr(start / 44100), "--seconds", "3",
            "--positions", csv)
    lines = open(csv).read().splitlines() if r.returncode == 0 else []
    first = start // 884
    check("--positions from --start %d are the whole render's lines" % start,
          lines == whole_lines[first:(start + 3 * 44100 + 883) // 884], (lines[:2], whole_lines[first:first + 2]))

# Without -o: the input's name with .wav, beside the input.
song = os.path.join(tmp, "song.xm")
shutil.copy(module, song)
r = run("render", song, "--seconds", "1")
check("default output beside the input", r.returncode == 0 and os.path.exists(os.path.join(tmp, "song.wav")))

# FLAC decodes to exactly the WAV's samples; Ogg and MP3 are written.
flac = os.path.join(tmp, "a.flac")
r = run("render", module, "-o", flac, "--seconds", "3")
dec = os.path.join(tmp, "dec.wav")
ok = r.returncode == 0 and subprocess.run(["flac", "-s", "-d", "-f", "-o", dec, flac]).returncode == 0
check("FLAC decodes to the WAV's samples", ok and frames(dec) == pcm[:4 * 3 * 44100], r.stderr)
for ext, magic in [("ogg", b"OggS"), ("mp3", None)]:
    out = os.path.join(tmp, "a." + ext)
    r = run("render", module, "-o", out, "--seconds", "2")
    data = open(out, "rb").read() if os.path.exists(out) else b""
    check("." + ext + " is written", r.returncode == 0 and len(data) > 1000 and (magic is None or data[:4] == magic),
          r.stderr)


def decoded(path, most):
    """The 16-bit stereo frames of a sound file, as libsndfile decodes it
    (None where it cannot open it)."""
    sndfile = ctypes.CDLL("libsndfile.so.1")
    sndfile.sf_open.restype = ctypes.c_void_p
    sndfile.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_void_p]
    sndfile.sf_readf_short.restype = ctypes.c_int64
    sndfile.sf_readf_short.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
    sndfile.sf_close.argtypes = [ctypes.c_void_p]
    details = ctypes.create_string_buffer(64)  # SF_INFO
    f = sndfile.sf_open(path.encode(), 0x10, details)  # SFM_READ
    if not f:
        return None
    buffer = (ctypes.c_int16 * (2 * most))()
    n = sndfile.sf_readf_short(f, buffer, most)
    sndfile.sf_close(f)
    return list(buffer[:2 * n])


# Ogg and MP3 decode to as many frames as the WAV holds, and to its sound
# up to what the codec leaves out (the signal at least 100 times the
# error's power; noise in the frames would give about as much of each).
seconds = 4
reference = list(struct.unpack("<%dh" % (2 * seconds * 44100), pcm[:4 * seconds * 44100]))
for ext in ["ogg", "mp3"]:
    out = os.path.join(tmp, "lossy." + ext)
    r = run("render", module, "-o", out, "--seconds", str(seconds))
    got = (decoded(out, 2 * seconds * 44100) or []) if r.returncode == 0 else []
    error = sum((a - b) ** 2 for a, b in zip(got, reference))
    power = sum(a * a for a in reference)
    check(".%s decodes to the WAV's %d frames and its sound (signal to error %.1f dB)" % (
          ext, seconds * 44100, 10 * math.log10(power / error) if error else 99),
          len(got) == len(reference) and 100 * error < power, (r.returncode, r.stderr, len(got)))

# No frames: still a sound file, which a reader opens and finds empty.
for ext in ["wav", "flac", "ogg", "mp3"]:
    for length in [["--seconds", "0"], ["--blocks", "0"]]:
        out = os.path.join(tmp, "empty." + ext)
        r = run("render", module, "-o", out, *length)
        got = decoded(out, 10) if r.returncode == 0 else None
        check("render %s to .%s is an empty sound file" % (" ".join(length), ext), got == [],
              (r.returncode, r.stderr, os.path.getsize(out) if os.path.exists(out) else None))

# Names full of control and non-ASCII bytes.
raw = bytearray(open(module, "rb").read())
nasty = bytes([1, 27]) + b"[31m" + bytes([0xFF, 0x22, 0x5C, 0x7F, 0x9B, 0xE9, 0x0A, 0x0D, 0x80, 0x41]) + b"Z Z "
raw[17:37] = nasty
named = os.path.join(tmp, "named.xm")
open(named, "wb").write(bytes(raw))
r = run("info", "--json", named)
try:
    title = json.loads(r.stdout)["title"]
    ok = title == nasty[:19].decode("latin-1")  # the trailing space dropped
except ValueError:
    ok, title = False, r.stdout[:80]
check("any bytes in a name give valid JSON", r.returncode == 0 and ok, title)
r = run("info", named)
text = r.stdout.decode("utf-8", "replace")
check("names are safe on a terminal", r.returncode == 0 and "\ufffd" not in text
      and not any((ord(c) < 32 and c != "\n") or 0x7F <= ord(c) < 0xA0 for c in text), repr(text[:80]))
check("the summary gives the duration", "Duration:     1:37.920" in text, text[:400])

# A pass of thousands of years (a header speed of 65,535 ticks at 110,250
# frames a tick, every row delayed 15 times, every pattern looped 16 times):
# its milliseconds do not fit in 64 bits as frames * 1000.
eons_cells = b""
for row in range(256):
    eons_cells += bytes([0x98, 0xE, 0xEF])  # EEF
    eons_cells += bytes([0x98, 0xE, 0x60]) if row == 0 else bytes([0x98, 0xE, 0x6F]) if row == 255 else b"\x80"
eons = os.path.join(tmp, "eons.xm")
open(eons, "wb").write(seeds.header(2, 1, 1, song=(0,) * 64, tempo=65535, bpm=0) + seeds.pattern(256, eons_cells)
                       + seeds.instrument([[5] * 10]))
eons_frames = 64 * 256 * 16 * (65535 * 16) * 110250
eons_ms = eons_frames * 1000 // 44100
d = info(eons)
check("a pass of thousands of years: its duration in frames and ms",
      d["durationFrames"] == eons_frames and d["durationMs"] == eons_ms, (d["durationFrames"], d["durationMs"]))
text = run("info", eons).stdout.decode()
shown = "Duration:     %d:%02d.%03d" % (eons_ms // 60000, eons_ms // 1000 % 60, eons_ms % 1000)
check("a pass of thousands of years: the summary", shown in text, (shown, text[:400]))

# Outputs that are never unsafe.
target = os.path.join(tmp, "target.wav")
link = os.path.join(tmp, "link.wav")
open(target, "w").write("x")
os.symlink("target.wav", link)
r = run("render", module, "-o", link, "--seconds", "1")
check("a link stays a link and its target is written", r.returncode == 0 and os.path.islink(link)
      and len(frames(target)) == 4 * 44100)
for name in ["-", "/dev/stdout"]:
    r = run("render", module, "-o", name, "--seconds", "1")
    check("-o %s writes to standard output" % name, r.returncode == 0 and len(r.stdout) == 44 + 4 * 44100
          and r.stdout[:4] == b"RIFF")
big = os.path.join(tmp, "big.wav")
p = subprocess.Popen([cli, "render", module, "-o", big, "--seconds", "20000"], stderr=subprocess.DEVNULL)
time.sleep(1)
p.send_signal(signal.SIGTERM)
p.wait(timeout=30)
check("a render stopped by SIGTERM leaves nothing behind", not os.path.exists(big) and not os.path.exists(big + ".part"))
r = run("render", module, "-o", big, "--seconds", "30000")
check("a WAV over 4 GiB is refused before writing", r.returncode == 2 and b"4 GiB" in r.stderr
      and not os.path.exists(big) and not os.path.exists(big + ".part"), r.stderr)
out = os.path.join(tmp, "pos.wav")
r = run("render", module, "-o", out, "--seconds", "1", "--positions", os.path.join(tmp, "no", "such.csv"))
check("an unwritable positions file leaves no sound file", r.returncode == 1 and not os.path.exists(out))
with open("/dev/full", "wb") as full:
    r = subprocess.run([cli, "info", module], stdout=full, stderr=subprocess.PIPE)
check("info to a full device fails", r.returncode == 1 and b"standard output" in r.stderr, r.stderr)

# Bad values: one line naming the option, exit code 2, nothing written.
for args in [["--seconds", "nan"], ["--seconds", "inf"], ["--seconds", "1e30"], ["--seconds", "-3"],
             ["--blocks", "2.7"], ["--blocks", "nan"], ["--loops", "0"], ["--loops", "1.5"], ["--start", "-1"],
             ["--start", "1:75"], ["--start-row", "3"], ["--start-row", "1:999"], ["--seconds", "1", "--loops", "2"],
             ["--start", "1", "--start-row", "0:0"], ["--seconds"]]:
    out = os.path.join(tmp, "bad.wav")
    r = run("render", module, "-o", out, *args)
    line = r.stderr.decode()
    check("render %s is refused" % " ".join(args), r.returncode == 2 and line.count("\n") == 1
          and args[-1 if len(args) == 1 else 0] in line and not os.path.exists(out), (r.returncode, line))
# The limit a refusal names is a whole number, the last one refused above it.
r = run("render", module, "-o", os.path.join(tmp, "bad.wav"), "--blocks", "99999999999")
limit = r.stderr.decode().split(" to ")[-1].split(" ")[0]
check("--blocks names a whole number as its limit", r.returncode == 2 and limit.isdigit(), r.stderr)
r = run("render", module, "-o", os.path.join(tmp, "bad.wav"), "--blocks", str(int(limit) + 1) if limit.isdigit() else "x")
check("--blocks over its limit is refused", r.returncode == 2, r.stderr)
for args in [["--volume", "nan"], ["--volume", "3"], ["--gargle", "4294967297"], ["--gargle", "2.5"], ["--eq", "16"],
             ["--seconds", "-3"], ["--loops", "-1"], ["--eq", "3", "--gargle", "20", "--seconds", "0"],
             ["--gargle", "20", "--eq", "3", "--seconds", "0"]]:
    r = run("play", module, *args, env=dict(os.environ, SDL_AUDIODRIVER="dummy"), timeout=10)
    check("play %s is refused" % " ".join(args), r.returncode == 2 and args[0].encode() in r.stderr, r.stderr)

# A FIFO never holds the program.
fifo = os.path.join(tmp, "fifo.xm")
os.mkfifo(fifo)
for args in [["info", fifo], ["render", fifo, "-o", os.path.join(tmp, "f.wav")]]:
    r = run(*args, timeout=10)
    check("%s of a FIFO is refused at once" % args[0], r.returncode == 1 and b"not a regular file" in r.stderr)

shutil.rmtree(tmp)
report.finish()
