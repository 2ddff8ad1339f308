#!/usr/bin/env python3
"""zevora-cli with many files: renders beside the inputs and into a folder,
each bit for bit the render of that file alone, with -j 2 as with -j 1;
bad files among good ones; outputs refused before anything is written;
stop signals during a batch; stems, each the song with every other channel
muted (through libzevora); info of many files as JSON Lines and for people;
the progress line on a pseudo-terminal."""
import ctypes
import fcntl
import glob
import json
import os
import pty
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import wave

from report import Report

cli, corpus, faults, seeds_script = (os.path.abspath(a) for a in sys.argv[1:5])
library = sys.argv[5]  # "none" in the sanitizer builds: it cannot be loaded into python3 there
tmp = tempfile.mkdtemp()
os.environ["LSAN_OPTIONS"] = "suppressions=%s:print_suppressions=0" % os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
report = Report()
check = report.check
sys.path.insert(0, os.path.dirname(seeds_script))
import make_seeds as seeds  # noqa: E402

modules = sorted(glob.glob(os.path.join(corpus, "*.xm")))
small = [os.path.join(corpus, name) for name in ["vor--mph.xm", "vodovod--walk.xm", "ballz-data--finalman-quickie.xm"]]


def with_faults(**switches):
    asan = os.environ.get("ASAN_OPTIONS", "")
    return dict(os.environ, LD_PRELOAD=faults, ASAN_OPTIONS=(asan + ":" if asan else "") + "verify_asan_link_order=0",
                **switches)


def run(*args, env=None, cwd=None, timeout=120):
    return subprocess.run([cli, *args], capture_output=True, timeout=timeout, env=env, cwd=cwd)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def pcm(path):
    with wave.open(path) as w:
        return w.readframes(w.getnframes())


def folder(name, *files, names=None):
    """A new folder holding copies of files (under names, if given)."""
    d = os.path.join(tmp, name)
    os.makedirs(d)
    for i, f in enumerate(files):
        shutil.copy(f, os.path.join(d, names[i] if names else os.path.basename(f)))
    return d


def snapshot(d):
    """Every file under d with what it holds."""
    out = {}
    for root, dirs, files in os.walk(d):
        for name in files + dirs:
            p = os.path.join(root, name)
            out[os.path.relpath(p, d)] = read(p) if os.path.isfile(p) else None
    return out


def stem(path):
    return os.path.splitext(os.path.basename(path))[0]


def reference(module, ext, *args):
    """The output of a render of that module alone."""
    out = os.path.join(tmp, "reference." + ext)
    r = run("render", module, "-o", out, *args)
    assert r.returncode == 0, r.stderr
    data = read(out)
    os.unlink(out)
    return data


def one_line_each(stderr, names):
    lines = stderr.decode().splitlines()
    return len(lines) == len(names) and all(n in line for n, line in zip(names, lines))


# Beside the inputs and into a folder: every option applies to each file,
# and each output is what rendering that file alone gives.
options = ["--start", "1.5", "--seconds", "2"]
refs = {stem(m): reference(m, "wav", *options) for m in small}
d = folder("beside", *small)
r = run("render", *sorted(glob.glob(d + "/*.xm")), *options)
check("render FILE... writes each output beside its input, as a render of it alone",
      r.returncode == 0 and r.stderr == b"" and all(read(os.path.join(d, s + ".wav")) == refs[s] for s in refs),
      (r.returncode, r.stderr, sorted(os.listdir(d))))
for out, cwd in [("into/", tmp), ("into", tmp), ("./into/", tmp), (os.path.join(tmp, "into") + "/", None)]:
    target = os.path.join(tmp, "into")
    os.makedirs(target, exist_ok=True)
    r = run("render", *small, "-o", out, *options, cwd=cwd)
    check("render FILE... -o %s writes into the folder" % out, r.returncode == 0
          and snapshot(target) == {s + ".wav": refs[s] for s in refs}, (r.returncode, r.stderr, os.listdir(target)))
    shutil.rmtree(target)
# After -- every argument is a FILE: names that begin with - (one of them
# an option's name, one a lone -) are rendered and read, not taken as
# options.
dashed = ["-j.xm", "--stems", "-"]
d = folder("dashed", *[small[0]] * 3, names=dashed)
r = run("render", *options, "-j", "2", "--", *dashed, cwd=d)
check("render -- FILE... takes names that begin with - as FILEs", r.returncode == 0 and r.stderr == b""
      and snapshot(d) == dict({n: read(small[0]) for n in dashed}, **{"-j.wav": refs[stem(small[0])],
                                                                        "--stems.wav": refs[stem(small[0])],
                                                                        "-.wav": refs[stem(small[0])]}),
      (r.returncode, r.stderr, sorted(os.listdir(d))))
alone = json.loads(run("info", "--json", small[0]).stdout)
r = run("info", "--json", "--", *dashed, cwd=d)
check("info --json -- FILE... takes names that begin with - as FILEs", r.returncode == 0
      and [json.loads(line) for line in r.stdout.splitlines()] == [dict(alone, path=n) for n in dashed], r.stderr)
r = run("info", "--", "--", cwd=d)
check("only the first -- ends the options", r.returncode == 1 and r.stdout == b""
      and one_line_each(r.stderr, ["--: cannot open (No such file"]), r.stderr)
flac_refs = {stem(m): reference(m, "flac", "--seconds", "2") for m in small}
os.makedirs(os.path.join(tmp, "flac"))
r = run("render", *small, "-o", os.path.join(tmp, "flac/"), "--format", "flac", "--seconds", "2", "-j", "2")
check("--format flac names the outputs .flac, as -o x.flac renders them",
      r.returncode == 0 and snapshot(os.path.join(tmp, "flac")) == {s + ".flac": flac_refs[s] for s in flac_refs},
      r.stderr)
d = folder("demo")
r = run("render", "--format", "ogg", "--seconds", "1", cwd=d)
check("the built-in demo with --format ogg goes to demo.ogg", r.returncode == 0
      and list(snapshot(d)) == ["demo.ogg"] and read(os.path.join(d, "demo.ogg"))[:4] == b"OggS", r.stderr)

# -j 2 gives exactly what -j 1 gives, for every corpus module.
for fmt in ["wav", "flac", "mp3"]:
    outs = {}
    for jobs in ["1", "2"]:
        target = os.path.join(tmp, "j%s-%s" % (jobs, fmt))
        os.makedirs(target)
        r = run("render", *modules, "-o", target, "--format", fmt, "--seconds", "6", "-j", jobs)
        # Standard error is no terminal: no progress line.
        outs[jobs] = snapshot(target) if r.returncode == 0 and r.stderr == b"" else {}
        shutil.rmtree(target)
    check("-j 2 gives the same %s files as -j 1, bit for bit (%d modules)" % (fmt, len(modules)),
          len(outs["1"]) == len(modules) and outs["1"] == outs["2"], sorted(outs["1"]))

# Fewer threads than -j asks, or none (a limit on processes, as a
# container's): the work goes on with those the system gives, as with -j 1.
stems = {}
for threads in ["none", "0", "1"]:
    env = with_faults(FILE_SYSTEM_FAULTS_THREADS=threads) if threads != "none" else None
    r = run("info", "--json", "-j", "4", *small, env=env)
    check("info -j 4 with %s threads to be had gives what -j 1 gives" % threads,
          r.returncode == 0 and r.stdout == run("info", "--json", "-j", "1", *small).stdout, (r.returncode, r.stderr))
    target = os.path.join(tmp, "threads-" + threads)
    os.makedirs(target)
    r = run("render", *small, "-o", target, "--stems", "--seconds", "2", "-j", "4", env=env)
    stems[threads] = snapshot(target) if r.returncode == 0 and r.stderr == b"" else {}
    check("render --stems -j 4 with %s threads to be had writes every stem as with all of them" % threads,
          len(stems[threads]) > len(small) and stems[threads] == stems["none"], (r.returncode, r.stderr))
    shutil.rmtree(target)

# Bad files among good ones: each reported on its own line, in the order
# given, the others rendered; exit code 1 at the end.
for jobs in ["1", "2"]:
    d = folder("bad-j" + jobs, *small[:2], names=["a.xm", "z.xm"])
    open(os.path.join(d, "text.xm"), "wb").write(b"not a module at all")
    os.mkdir(os.path.join(d, "folder.xm"))
    shutil.copy(small[2], os.path.join(d, "blocked.xm"))
    os.mkdir(os.path.join(d, "blocked.wav"))  # where its output would go
    os.mkdir(os.path.join(d, "a"))  # a folder beside a.xm: its output would be a.wav too
    args = [os.path.join(d, n) for n in ["a.xm", "a", "text.xm", "missing.xm", "folder.xm", "blocked.xm", "z.xm"]]
    r = run("render", *args, *options, "-j", jobs)
    after = snapshot(d)
    check("-j %s: bad files are reported and the good ones rendered" % jobs, r.returncode == 1
          and one_line_each(r.stderr, ["/a: cannot open (is a directory)", "text.xm: not an XM module",
                                       "missing.xm: cannot open (No such file",
                                       "folder.xm: cannot open (is a directory)",
                                       "blocked.wav: cannot write (Is a directory)"])
          and after.get("a.wav") == refs[stem(small[0])] and after.get("z.wav") == refs[stem(small[1])]
          and sorted(after) == ["a", "a.wav", "a.xm", "blocked.wav", "blocked.xm", "folder.xm", "text.xm", "z.wav",
                                "z.xm"], (r.returncode, r.stderr, sorted(after)))

# Refused before anything is read or written (exit code 2, one line each).
a, b = folder("one/a", small[0], names=["song.xm"]), folder("one/b", small[1], names=["song.xm"])
c = folder("over", *small[:2], names=["tune.xm", "tune.wav"])
s = folder("stems-over", small[0], small[1], names=["s.xm", "s-02.wav"])
x, y = folder("two/x", small[0], names=["m.xm"]), folder("two/y", small[0], names=["m.xm"])
out = os.path.join(tmp, "refused-out")
os.makedirs(out)
for name, args, says in [
        ("two inputs of one name into one folder", [a + "/song.xm", b + "/song.xm", "-o", out + "/"],
         ["/a/song.xm and " + b + "/song.xm would both be written to " + out + "/song.wav"]),
        ("one file twice", [a + "/song.xm", a + "/song.xm"], ["would both be written to " + a + "/song.wav"]),
        ("an output over another input (a module named .wav)", [c + "/tune.xm", c + "/tune.wav"],
         ["tune.xm: " + c + "/tune.wav would be written over the input", "tune.wav: " + c + "/tune.wav would"]),
        ("a stem over another input", [s + "/s.xm", s + "/s-02.wav", "--stems"],
         ["s.xm: " + s + "/s-02.wav would be written over the input " + s + "/s-02.wav"]),
        ("stems of two inputs of one name", [x + "/m.xm", y + "/m.xm", "--stems", "-o", out],
         ["would both be written to " + out + "/m-01.wav"]),
        ("-o naming one file for several", [*small[:2], "-o", out + "/x.wav"], ["-o " + out + "/x.wav names one file"]),
        ("--positions with several files", [*small[:2], "--positions", out + "/p.csv"], ["goes with one FILE"]),
        ("a folder that does not exist", [small[0], "-o", out + "/no/"], ["no folder of that name"]),
        ("an unknown --format", [small[0], "--format", "aiff"], ["--format takes wav, flac, ogg or mp3"]),
        ("--format against -o's ending", [small[0], "-o", out + "/x.wav", "--format", "flac"],
         ["x.wav does not end in .flac (--format flac)"]),
        ("--stems to standard output", [small[0], "-o", "-", "--stems"], ["--stems writes a file per channel"]),
        ("-j 0", [small[0], "-j", "0"], ["-j takes a whole number from 1 to 64"]),
        ("-j 65", [small[0], "-j65"], ["-j takes a whole number from 1 to 64"])]:
    before = snapshot(tmp)
    r = run("render", *args, "--seconds", "1")
    check("render refuses %s" % name, r.returncode == 2 and r.stdout == b"" and one_line_each(r.stderr, says)
          and snapshot(tmp) == before, (r.returncode, r.stderr))

# Stop signals during a batch on two threads: nothing is left behind, with
# unnamed temporary files and with named ones.
d = folder("signals")
for kind, env in [("unnamed", None), ("named", with_faults(FILE_SYSTEM_FAULTS_NO_TMPFILE="1"))]:
    for sig in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]:
        p = subprocess.Popen([cli, "render", *small, "-o", d, "--format", "flac", "--seconds", "20000", "-j", "2"],
                             env=env, stderr=subprocess.DEVNULL)
        time.sleep(0.4)
        p.send_signal(sig)
        p.wait(timeout=30)
        check("%s stops a batch on two threads (%s temporary files) and leaves nothing" % (sig.name, kind),
              p.returncode == -sig and os.listdir(d) == [], (p.returncode, os.listdir(d)))
# A batch on two threads that comes down to one output (the other file is
# no module; a module's only stem) stops at once too, not when that output
# is complete (some 40 s here).
d = folder("signals-one-left")
open(os.path.join(d, "text.xm"), "wb").write(b"not a module at all")
mono = os.path.join(d, "mono.xm")
open(mono, "wb").write(seeds.header(1, 1, 1) + seeds.pattern(4, seeds.cells(4, 1, [(0, 0)]))
                       + seeds.instrument([[9] * 20]))
for name, args in [("a batch left with one file", [os.path.join(d, "text.xm"), small[0], "-o", d]),
                   ("the stems of a module with one channel", [mono, "--stems"])]:
    p = subprocess.Popen([cli, "render", *args, "--format", "flac", "--seconds", "20000", "-j", "2"],
                         stderr=subprocess.DEVNULL)
    time.sleep(0.4)
    p.send_signal(signal.SIGINT)
    try:
        code = p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        code = "still running 10 s after SIGINT: %s" % p.wait()
    check("-j 2: SIGINT stops %s and leaves nothing" % name, code == -signal.SIGINT
          and sorted(os.listdir(d)) == ["mono.xm", "text.xm"], (code, os.listdir(d)))

# Stems. A module with one channel that plays and three silent ones: its
# stem is the whole render, file for file, and the others are silence.
quiet = bytearray()
for row in range(16):
    for channel in range(4):
        quiet += bytes([0x9F, 49 + row % 12, 1, 0x30, 0, 0]) if channel == 2 and row % 2 == 0 else b"\x80"
one = os.path.join(folder("one-channel"), "one.xm")
open(one, "wb").write(seeds.header(4, 1, 1) + seeds.pattern(16, bytes(quiet))
                      + seeds.instrument([[40, -80, 90, 5] * 8]))
whole = reference(one, "wav")
r = run("render", one, "--stems")
names = sorted(os.listdir(os.path.dirname(one)))
got = {n: read(os.path.join(os.path.dirname(one), n)) for n in names if n.endswith(".wav")}
silence = whole[:44] + bytes(len(whole) - 44)
check("the stem of the one channel that plays is the whole render, file for file", r.returncode == 0
      and names == ["one-01.wav", "one-02.wav", "one-03.wav", "one-04.wav", "one.xm"] and got["one-03.wav"] == whole
      and len(whole) > 44 + 4 * 44100, (r.returncode, r.stderr, names))
check("the stems of the silent channels are silence of the same length",
      all(got.get(n) == silence for n in ["one-01.wav", "one-02.wav", "one-04.wav"]))

# Each stem is the song with every other channel muted as zv_mute mutes it;
# together they are the song, up to rounding.
zv = None
if library != "none":
    zv = ctypes.CDLL(library)
    zv.zv_load_file.restype = ctypes.c_void_p
    zv.zv_load_file.argtypes = [ctypes.c_char_p, ctypes.c_void_p]
    zv.zv_channels.argtypes = [ctypes.c_void_p]
    zv.zv_mute.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
    zv.zv_render.restype = ctypes.c_size_t
    zv.zv_render.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    zv.zv_free.argtypes = [ctypes.c_void_p]
else:
    print("skipped: stems against libzevora's muted renders (no library that python3 can load)")


def muted_render(module, keep, frames):
    song = zv.zv_load_file(module.encode(), None)
    for c in range(zv.zv_channels(song)):
        zv.zv_mute(song, c, c != keep)
    buffer = (ctypes.c_int16 * (2 * frames))()
    n = zv.zv_render(song, buffer, frames)
    zv.zv_free(song)
    return bytes(buffer)[:4 * n]


module = os.path.join(corpus, "vor--mph.xm")
seconds = 4
stems = {}
for jobs in ["1", "2"]:
    d = folder("stems-j" + jobs)
    r = run("render", module, "--stems", "-o", d + "/", "--seconds", str(seconds), "-j", jobs)
    stems[jobs] = snapshot(d) if r.returncode == 0 else {}
names = ["vor--mph-%02d.wav" % (c + 1) for c in range(8)]
check("--stems -o DIR/ writes NAME-01.wav to NAME-08.wav for 8 channels", sorted(stems["1"]) == names,
      sorted(stems["1"]))
check("stems with -j 2 are those of -j 1, bit for bit", stems["1"] == stems["2"])
for c, name in enumerate(names if zv else []):
    data = stems["2"].get(name, b"")[44:]
    check("stem %d is the song with the other channels muted through libzevora" % (c + 1),
          len(data) == 4 * seconds * 44100 and data == muted_render(module, c, seconds * 44100))
full = pcm(os.path.join(tmp, "full.wav")) if run("render", module, "-o", os.path.join(tmp, "full.wav"), "--seconds",
                                                   str(seconds)).returncode == 0 else b""
samples = [struct.unpack("<%dh" % (len(stems["1"][n]) // 2 - 22), stems["1"][n][44:]) for n in names]
whole_samples = struct.unpack("<%dh" % (len(full) // 2), full)
check("the stems add up to the song, up to rounding", len(whole_samples) == 2 * seconds * 44100 and
      max(abs(sum(s[i] for s in samples) - w) for i, w in enumerate(whole_samples)) <= len(names))

# Names with other formats and places, and a module's stems all or none.
two = os.path.join(folder("two-channels"), "two.xm")
open(two, "wb").write(seeds.header(2, 1, 1) + seeds.pattern(4, seeds.cells(4, 2, [(0, 0)]))
                      + seeds.instrument([[9] * 20]))
for args, expect in [(["--format", "flac"], ["two-01.flac", "two-02.flac"]),
                     (["-o", "x.ogg"], ["x-01.ogg", "x-02.ogg"]), (["-o", "y.WAV"], ["y-01.WAV", "y-02.WAV"])]:
    d = os.path.dirname(two)
    r = run("render", two, "--stems", *args, cwd=d)
    made = sorted(set(os.listdir(d)) - {"two.xm"})
    check("--stems %s writes %s" % (" ".join(args), " ".join(expect)), r.returncode == 0 and made == expect, made)
    for n in made:
        os.unlink(os.path.join(d, n))
# A module without channels has no stems: that is said, not taken for
# success, and the other modules' stems are written.
d = folder("no-channels")
none = os.path.join(d, "none.xm")
open(none, "wb").write(seeds.header(0, 1, 1) + seeds.pattern(4, b"") + seeds.instrument([[9] * 20]))
for args, code, made in [([none, "--stems"], 1, []), ([none, "--stems", "--positions", os.path.join(d, "p.csv")], 1, []),
                         ([none, two, "--stems", "-o", d + "/"], 1, ["two-01.wav", "two-02.wav"])]:
    r = run("render", *args)
    written = sorted(set(os.listdir(d)) - {"none.xm"})
    check("--stems of a module without channels: %s" % " ".join(os.path.basename(a) for a in args),
          r.returncode == code and one_line_each(r.stderr, ["none.xm: the module has no channels, so no stems"])
          and written == made, (r.returncode, r.stderr, written))
    for n in written:
        os.unlink(os.path.join(d, n))
d = folder("stems-all-or-none")
os.mkdir(os.path.join(d, "vor--mph-05.wav"))
r = run("render", module, "--stems", "-o", d, "--seconds", "1", "-j", "2")
check("a stem that cannot be written leaves none of its module", r.returncode == 1 and one_line_each(
    r.stderr, ["vor--mph-05.wav: cannot write (Is a directory)"]) and os.listdir(d) == ["vor--mph-05.wav"], r.stderr)
os.rmdir(os.path.join(d, "vor--mph-05.wav"))
for n in names:
    open(os.path.join(d, n), "wb").write(b"old " + n.encode())
before = snapshot(d)
r = run("render", module, "--stems", "-o", d, "--seconds", "1", "-j", "2",
        env=with_faults(FILE_SYSTEM_FAULTS_LINK="-08.wav"))
check("a stem that cannot be put in place takes the others back, the old files return", r.returncode == 1
      and one_line_each(r.stderr, ["vor--mph-08.wav: cannot write (Input/output error)"])
      and snapshot(d) == before, (r.stderr, sorted(snapshot(d))))
# A stop signal while the stems replace the old ones (the fourth takes a
# second to put in place) waits until all of them are in place.
for jobs in ["1", "2"]:
    p = subprocess.Popen([cli, "render", module, "--stems", "-o", d, "--seconds", str(seconds), "-j", jobs],
                         env=with_faults(FILE_SYSTEM_FAULTS_SLOW_LINK="-04.wav"))
    deadline = time.time() + 60
    while not any(n.startswith(".zevora-cli.") for n in os.listdir(d)) and time.time() < deadline:
        time.sleep(0.002)
    p.send_signal(signal.SIGTERM)
    p.wait(timeout=60)
    check("-j %s: SIGTERM while the stems go into place waits for all of them" % jobs, p.returncode == -signal.SIGTERM
          and snapshot(d) == stems["1"],
          (p.returncode, sorted(n for n, v in snapshot(d).items() if v != stems["1"].get(n))))
    for n in names:
        open(os.path.join(d, n), "wb").write(b"old " + n.encode())

# info of many files: JSON Lines in the order given, the path first, an
# error object for a file that cannot be read; each object that of the
# file alone.
d = folder("info", small[0], names=["M\xfcsik \u2713.xm"])
open(os.path.join(d, "text.xm"), "wb").write(b"nothing")
odd = os.path.join(d, "esc\x1b[31m\x7f.xm").encode()
shutil.copy(small[1], odd)
args = [*modules, os.path.join(d, "text.xm"), os.path.join(d, "missing.xm"), os.path.join(d, "M\xfcsik \u2713.xm"), odd]
r = run("info", "--json", *args)
lines = r.stdout.decode("utf-8").split("\n")
try:
    objects = [json.loads(line) for line in lines[:-1]]
except ValueError as e:
    objects = [str(e)]
paths = [a.decode("utf-8") if isinstance(a, bytes) else a for a in args]
check("info --json FILE... gives one valid JSON object a line, in order, with the path",
      lines[-1] == "" and [o.get("path") for o in objects if isinstance(o, dict)] == paths, objects[:1])
errors = [(o["path"], o["error"]) for o in objects if isinstance(o, dict) and "error" in o]
check("files that cannot be read give an object with the error, and their message", r.returncode == 1 and errors == [
    (paths[-4], "not an XM module"), (paths[-3], "cannot open (No such file or directory)")] and one_line_each(
    r.stderr, ["text.xm: not an XM module", "missing.xm: cannot open"]), (errors, r.stderr))
alone = [json.loads(run("info", "--json", a).stdout) for a in (modules[0], modules[-1], small[1])]
picked = [0, len(modules) - 1, len(args) - 1]
check("each object is that of the file alone", len(objects) == len(args)
      and [objects[i] for i in picked] == [dict(o, path=paths[i]) for o, i in zip(alone, picked)])
check("info --json -j 1 gives the same bytes as -j 2", run("info", "--json", "-j", "1", *args).stdout == r.stdout
      == run("info", "--json", "-j2", *args).stdout)
expect = b"".join(b"File:         " + m.encode() + b"\n" + run("info", m).stdout for m in small[:2])
expect = expect.replace(b"\nFile:", b"\n\nFile:")
text, missing = os.path.join(d, "text.xm"), os.path.join(d, "missing.xm")
for name, args, code in [("", small[:2], 0), (" (files that cannot be read first and between)",
                                              [text, small[0], missing, text, small[1]], 1),
                         (" (a file that cannot be read last)", [*small[:2], missing], 1)]:
    for jobs in ["1", "2"]:
        r = run("info", "-j", jobs, *args)
        check("info -j %s FILE... gives the summaries one after the other, each headed by its file, a blank line "
              "between them%s" % (jobs, name), r.returncode == code and r.stdout == expect, r.stdout[:200])


# The progress line, on a pseudo-terminal as standard error.
def on_terminal(args, columns, stop=None):
    """zevora-cli's standard error on a terminal `columns` wide; stop: a
    signal sent once the first progress line is out."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    p = subprocess.Popen([cli, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=slave)
    os.close(slave)
    out = b""
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        if not data:
            break
        out += data
        if stop is not None and b"\x1b[K" in out:
            p.send_signal(stop)
            stop = None
    os.close(master)
    return p.wait(timeout=60), out


UPDATE = re.compile(r"^(?:file (\d+) of (\d+)|(\d+)/(\d+)) +(\d+)%")


def updates(out):
    """The texts the line was rewritten with, and whether it was cleared last."""
    parts = out.split(b"\r")
    texts = [p[:-3].decode() for p in parts[1:] if p.endswith(b"\x1b[K") and len(p) > 3]
    return texts, out.endswith(b"\r\x1b[K")


d = folder("progress")
batch = [*small[:2], "-o", d, "--format", "ogg", "--seconds", "180"]
code, out = on_terminal(["render", *batch, "-j", "2"], 72)
texts, cleared = updates(out)
counts = [UPDATE.match(t) for t in texts]
percents = [int(m.group(5)) for m in counts if m]
check("the progress line: file k of 2, percent going up, one line rewritten in place and cleared", code == 0
      and texts and all(counts) and all(m.group(2) == "2" for m in counts) and percents == sorted(percents)
      and b"\n" not in out and cleared, out[:300])
check("... with the speed and the time left, in 71 columns at most",
      any(re.search(r"\d+(\.\d)?x real time +\d+:\d\d left$", t) for t in texts)
      and max(map(len, texts or ["x" * 99])) <= 71, texts)
code, out = on_terminal(["render", small[0], "-o", d + "/narrow.ogg", "--seconds", "60"], 20)
texts, cleared = updates(out)
check("on a terminal 20 columns wide the line keeps to 19", code == 0 and texts and cleared
      and max(map(len, texts)) <= 19 and all(UPDATE.match(t) for t in texts), texts)
code, out = on_terminal(["render", *batch, "-j", "2", "-q"], 72)
check("-q shows no progress line", code == 0 and out == b"", out[:100])
shutil.copy(small[1], os.path.join(d, "b.xm"))
shutil.copy(small[1], os.path.join(d, "blocked.xm"))
os.mkdir(os.path.join(d, "blocked.flac"))
open(os.path.join(d, "bad.xm"), "wb").write(b"nothing")
code, out = on_terminal(["render", *(os.path.join(d, n) for n in ["bad.xm", "b.xm", "blocked.xm"]), "--seconds", "200",
                         "--format", "flac", "-j", "1"], 72)
check("messages on a terminal stand on lines of their own, the progress line cleared first", code == 1
      and out.startswith(b"zevora-cli: " + os.path.join(d, "bad.xm").encode() + b": not an XM module\r\n")
      and out.endswith(b"\x1b[K\r\x1b[Kzevora-cli: " + os.path.join(d, "blocked.flac").encode()
                       + b": cannot write (Is a directory)\r\n"), out[-200:])
os.rmdir(os.path.join(d, "blocked.flac"))
for name in os.listdir(d):
    os.unlink(os.path.join(d, name))
code, out = on_terminal(["render", *batch, "-j", "2"], 72, stop=signal.SIGINT)
check("Ctrl-C clears the progress line and leaves no file", code == -signal.SIGINT and out.endswith(b"\r\x1b[K")
      and os.listdir(d) == [], (code, out[-40:], os.listdir(d)))

shutil.rmtree(tmp, ignore_errors=True)
report.finish()
