#!/usr/bin/env python3
"""zevora-cli render's outputs as a careful user and a hostile caller try
them: never written over the input; no file touched that nobody named;
nothing half-written left behind whatever stops the program; a full disk
or a size limit reported, the old file kept; only sound file names; files
the user may write (and not) in folders the user may write (and not); two
outputs naming one file; all or nothing with --positions; every name shown
safely in messages.

Run as root (as CI does), the cases about permissions run as the user
nobody, and a small tmpfs gives a really full disk; where that cannot be
done they are skipped with a message."""
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

from report import Report

cli, corpus, faults = (os.path.abspath(a) for a in sys.argv[1:4])
tmp = tempfile.mkdtemp()
os.chmod(tmp, 0o755)  # the user nobody may come in, not write
# Copies the user nobody may run and read wherever the build lies.
cli = shutil.copy(cli, os.path.join(tmp, "zevora-cli"))
module = shutil.copy(os.path.join(corpus, "vor--mph.xm"), os.path.join(tmp, "module.xm"))
os.chmod(cli, 0o755)
os.chmod(module, 0o644)
# Where a file copied into is made complete ($TMPDIR), open to everyone.
scratch = os.path.join(tmp, "scratch")
os.mkdir(scratch)
os.chmod(scratch, 0o1777)
report = Report()
check = report.check
root = os.geteuid() == 0
NOBODY = 65534
lsan = "suppressions=%s:print_suppressions=0" % os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")


def skipped(what, why):
    print("skipped: %s (%s)" % (what, why))


def run(*args, env=None, user=False, limit=None, cwd=None, timeout=120, stdin=None):
    """zevora-cli with ARGS; user: as the user nobody where the test runs as
    root; limit: RLIMIT_FSIZE in bytes."""
    def before():
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        if user and root:
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
    env = dict(env if env is not None else os.environ, TMPDIR=scratch, LSAN_OPTIONS=lsan)
    return subprocess.run([cli, *args], capture_output=True, timeout=timeout, env=env, cwd=cwd, stdin=stdin,
                          preexec_fn=before)


def with_faults(**switches):
    asan = os.environ.get("ASAN_OPTIONS", "")
    return dict(os.environ, LD_PRELOAD=faults, ASAN_OPTIONS=(asan + ":" if asan else "") + "verify_asan_link_order=0",
                **switches)


def folder(name):
    """A new folder (others may come in) with the module in it as song.xm."""
    d = os.path.join(tmp, name)
    os.mkdir(d)
    os.chmod(d, 0o755)
    shutil.copy(module, os.path.join(d, "song.xm"))
    os.chmod(os.path.join(d, "song.xm"), 0o644)
    return d


def snapshot(d):
    """Every name in a folder with what it holds (a link: where it points)."""
    out = {}
    for name in os.listdir(d):
        p = os.path.join(d, name)
        out[name] = ("link", os.readlink(p)) if os.path.islink(p) else \
            ("file", open(p, "rb").read()) if os.path.isfile(p) else ("other", None)
    return out


def read(path):
    with open(path, "rb") as f:
        return f.read()


def one_line(r, code):
    return r.returncode == code and r.stderr.count(b"\n") == 1 and r.stderr.endswith(b"\n")


ref_dir = folder("reference")
for seconds in ["1", "3"]:
    subprocess.run([cli, "render", module, "-o", os.path.join(ref_dir, seconds + ".wav"), "--seconds", seconds],
                   check=True)
one_second = read(os.path.join(ref_dir, "1.wav"))

# The input is never written over: the same file by any name, links
# followed, read-only, and the default output of a module named .wav.
d = folder("input")
song = os.path.join(d, "song.xm")
shutil.copy(module, os.path.join(d, "tune.wav"))
shutil.copy(module, os.path.join(d, "ro.xm"))
os.chmod(os.path.join(d, "ro.xm"), 0o444)
os.symlink("song.xm", os.path.join(d, "link.wav"))
os.link(song, os.path.join(d, "hard.wav"))
before = snapshot(d)
for name, args, cwd in [
        ("-o the input", [song, "-o", song], None),
        ("-o ./ the input", ["song.xm", "-o", "./song.xm"], d),
        ("-o the input's absolute name", ["song.xm", "-o", song], d),
        ("-o a link to the input", [song, "-o", os.path.join(d, "link.wav")], None),
        ("-o a hard link of the input", [song, "-o", os.path.join(d, "hard.wav")], None),
        ("-o a read-only input", [os.path.join(d, "ro.xm"), "-o", os.path.join(d, "ro.xm")], None),
        ("a module named .wav without -o", [os.path.join(d, "tune.wav")], None),
        ("--positions the input", [song, "-o", os.path.join(d, "x.wav"), "--positions", song], None),
        ("--positions a link to the input", [song, "-o", os.path.join(d, "x.wav"), "--positions", "link.wav"], d)]:
    r = run("render", *args, "--seconds", "1", cwd=cwd)
    check("render refuses " + name, one_line(r, 2) and b"input" in r.stderr and snapshot(d) == before,
          (r.returncode, r.stderr))
# Into a folder, the output named after the input: the message names the
# input, not the folder given to -o.
for out in [d, d + "/"]:
    r = run("render", os.path.join(d, "tune.wav"), "-o", out, "--seconds", "1")
    check("render refuses -o %s for a module named .wav in it: the input named" % out, one_line(r, 2) and
          r.stderr.startswith(b"zevora-cli: " + os.path.join(d, "tune.wav").encode() + b": the output would be written")
          and snapshot(d) == before, (r.returncode, r.stderr))
with open(song, "ab") as appended:
    r = subprocess.run([cli, "render", song, "-o", "-", "--seconds", "1"], stdout=appended, stderr=subprocess.PIPE)
check("render refuses standard output appending to the input", one_line(r, 2) and snapshot(d) == before, r.stderr)

# No file nobody named is touched: not a file under the old temporary
# name, not what a link there points to.
d = folder("names-nobody-gave")
open(os.path.join(d, "out.wav.part"), "wb").write(b"not zevora-cli's")
open(os.path.join(d, "precious.txt"), "wb").write(b"precious")
os.symlink("precious.txt", os.path.join(d, "x.wav.part"))
before = snapshot(d)
r1 = run("render", module, "-o", os.path.join(d, "out.wav"), "--seconds", "1")
r2 = run("render", module, "-o", os.path.join(d, "x.wav"), "--seconds", "1")
after = snapshot(d)
check("render touches no file but its output", r1.returncode == 0 and r2.returncode == 0
      and after == dict(before, **{"out.wav": ("file", one_second), "x.wav": ("file", one_second)}),
      sorted(set(after) ^ set(before)))

# Two renders to one output at once: each file is whole, the last one wins.
d = folder("two-at-once")
same = os.path.join(d, "same.wav")
lengths = {"30": None, "31": None}
for seconds in lengths:
    subprocess.run([cli, "render", module, "-o", os.path.join(ref_dir, seconds + ".wav"), "--seconds", seconds],
                   check=True)
    lengths[seconds] = read(os.path.join(ref_dir, seconds + ".wav"))
ok = True
for attempt in range(3):
    procs = [subprocess.Popen([cli, "render", module, "-o", same, "--seconds", s]) for s in lengths]
    codes = [p.wait(timeout=60) for p in procs]
    ok = ok and codes == [0, 0] and read(same) in lengths.values() and sorted(os.listdir(d)) == ["same.wav", "song.xm"]
check("two renders to one output give one whole file", ok)

# A size limit (ulimit -f): a write that fails in mid-file, and one that
# fails only in the last data written when the file is finished. An MP3
# file's size varies by some hundred bytes from run to run (the encoder
# reads memory libsndfile leaves unset): it is given room either way.
d = folder("size-limit")
for ext, room in [("wav", 0), ("flac", 0), ("ogg", 0), ("mp3", 4096)]:
    out = os.path.join(d, "limit." + ext)
    r = run("render", module, "-o", out, "--seconds", "3")
    size = os.path.getsize(out) if r.returncode == 0 else 0
    os.unlink(out)
    r = run("render", module, "-o", out, "--seconds", "3", limit=size + room)
    written = os.path.getsize(out) if r.returncode == 0 else -1
    check("." + ext + " of exactly the size limit is written", r.returncode == 0 and
          (written == size if room == 0 else abs(written - size) <= room), (r.returncode, r.stderr, written, size))
    open(out, "wb").write(b"old")
    for limit in [size // 3, size - 1 - room]:
        r = run("render", module, "-o", out, "--seconds", "3", limit=limit)
        check("." + ext + " over the size limit (%d of %d bytes) fails, the old file kept" % (limit, size),
              one_line(r, 1) and b"File too large" in r.stderr and read(out) == b"old"
              and sorted(os.listdir(d)) == ["limit." + ext, "song.xm"], (r.returncode, r.stderr))
    os.unlink(out)

# A full disk: a 1 MiB tmpfs.
full = os.path.join(tmp, "full")
os.mkdir(full)
mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0755", "tmpfs", full],
                         capture_output=True).returncode == 0 if root else False
if not mounted:
    skipped("a full disk", "a tmpfs cannot be mounted here")
else:
    try:
        def free():
            s = os.statvfs(full)
            return s.f_bfree
        empty = free()
        for name, seconds in [("a.mp3", "300"), ("a.flac", "26.8"), ("a.ogg", "84.2"), ("a.wav", "10")]:
            out = os.path.join(full, name)
            r = run("render", module, "-o", out, "--seconds", seconds)
            check("%s on a full disk fails and leaves nothing" % name, one_line(r, 1)
                  and b"No space left on device" in r.stderr and os.listdir(full) == [] and free() == empty,
                  (r.returncode, r.stderr, os.listdir(full)))
            open(out, "wb").write(b"old")
            r = run("render", module, "-o", out, "--seconds", seconds)
            check("%s on a full disk keeps the old file" % name, one_line(r, 1) and read(out) == b"old"
                  and os.listdir(full) == [name], (r.returncode, r.stderr))
            os.unlink(out)
        # An existing file in a folder the user cannot write is copied into
        # only once its space is there.
        w = os.path.join(full, "w.wav")
        open(w, "wb").write(b"old")
        os.chown(w, NOBODY, NOBODY)
        r = run("render", module, "-o", w, "--seconds", "10", user=True)
        check("a file copied into on a full disk is kept as it was", one_line(r, 1)
              and b"No space left on device" in r.stderr and read(w) == b"old", (r.returncode, r.stderr))
    finally:
        subprocess.run(["umount", full])

# Nothing is left behind whatever signal stops the render, and nothing is
# written: with unnamed temporary files, and with named ones where the file
# system has no unnamed files (SIGKILL cannot be caught: only unnamed
# files vanish with it).
d = folder("signals")


def writing(pid):
    """Whether the process has a file in d open yet."""
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)).startswith(d + "/"):
                return True
        except OSError:
            pass
    return False


def no_core():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


try:
    os.close(os.open(d, os.O_TMPFILE | os.O_WRONLY, 0o600))
    unnamed = True
except OSError:
    unnamed = False
    skipped("SIGKILL during a render", "the file system of %s has no unnamed files" % tmp)
for kind, env in [("unnamed", None), ("named", with_faults(FILE_SYSTEM_FAULTS_NO_TMPFILE="1"))]:
    for sig in [signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGALRM,
                signal.SIGKILL]:
        if sig == signal.SIGKILL and (kind == "named" or not unnamed):
            continue
        p = subprocess.Popen([cli, "render", module, "-o", os.path.join(d, "big.flac"), "--seconds", "20000",
                              "--positions", os.path.join(d, "big.csv")], env=env, stderr=subprocess.DEVNULL,
                             preexec_fn=no_core)
        deadline = time.time() + 10
        while not writing(p.pid) and time.time() < deadline:
            time.sleep(0.005)
        time.sleep(0.05)
        p.send_signal(sig)
        p.wait(timeout=30)
        check("%s stops a render (%s temporary files) and leaves nothing" % (sig.name, kind),
              p.returncode == -sig and os.listdir(d) == ["song.xm"], (p.returncode, os.listdir(d)))
    p = subprocess.Popen([cli, "render", module, "-o", os.path.join(d, "pipe.flac"), "--seconds", "20000",
                          "--positions", "-"], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    p.stdout.close()
    p.wait(timeout=60)
    check("SIGPIPE of --positions - leaves nothing (%s)" % kind, p.returncode == -signal.SIGPIPE
          and os.listdir(d) == ["song.xm"], (p.returncode, os.listdir(d)))

# All or nothing: a positions file that cannot be put in place takes the
# sound file back, and the file it replaced returns, also where the file
# system cannot exchange two names (NFS: the old file waits under a second
# name). Where it has no second names either (FAT), the sound file that
# replaced the old one stays and is named: the user's file is never left
# without either.
d = folder("all-or-nothing")
out, csv = os.path.join(d, "out.wav"), os.path.join(d, "p.csv")
NO_TMPFILE, NO_EXCHANGE = {"FILE_SYSTEM_FAULTS_NO_TMPFILE": "1"}, {"FILE_SYSTEM_FAULTS_NO_EXCHANGE": "1"}
for kind, switches, old_returns in [
        ("unnamed", {}, True), ("named", NO_TMPFILE, True), ("unnamed, no exchange", NO_EXCHANGE, True),
        ("named, no exchange", dict(NO_TMPFILE, **NO_EXCHANGE), True),
        ("named, no exchange nor hard links", dict(NO_TMPFILE, FILE_SYSTEM_FAULTS_NO_HARD_LINKS="1", **NO_EXCHANGE),
         False)]:
    for old in [b"old", None]:
        if old is not None:
            open(out, "wb").write(old)
        elif os.path.exists(out):
            os.unlink(out)
        r = run("render", module, "-o", out, "--seconds", "1", "--positions", csv,
                env=with_faults(FILE_SYSTEM_FAULTS_LINK=".csv", **switches))
        message = b"p.csv: cannot write (Input/output error" + (
            b"; " + out.encode() + b" is written all the same)\n" if old is not None and not old_returns else b")\n")
        check("a positions file that cannot be put in place takes the sound file back (%s, %s)" %
              (kind, ("an old file returns" if old_returns else "the new file stays") if old else "no old file"),
              one_line(r, 1) and message in r.stderr
              and sorted(os.listdir(d)) == (["out.wav", "song.xm"] if old else ["song.xm"])
              and (old is None or read(out) == (old if old_returns else one_second)),
              (r.returncode, r.stderr, os.listdir(d)))
    r = run("render", module, "-o", out, "--seconds", "1", "--positions", csv, env=with_faults(**switches))
    check("both outputs are written (%s)" % kind, r.returncode == 0 and read(out) == one_second
          and read(csv).count(b"\n") == 50, r.stderr)
    os.unlink(out)
    os.unlink(csv)
# Short: the lines are written at the end; long: also while the song renders.
for seconds in ["1", "120"]:
    r = run("render", module, "-o", out, "--seconds", seconds, "--positions", "/dev/full")
    check("a positions file that fails leaves no sound file and is named (%s s)" % seconds,
          one_line(r, 1) and b"/dev/full: cannot write (No space left on device)" in r.stderr
          and os.listdir(d) == ["song.xm"], r.stderr)

# A disk that fails only when the data are flushed to it: a file is never
# put in place of the old one before its data are on the disk, so that
# neither a crash just after nor that failure leaves the old file's name on
# data never written.
d = folder("flushed")
out = os.path.join(d, "out.wav")
for kind, switches in [("unnamed", {}), ("named", NO_TMPFILE)]:
    open(out, "wb").write(b"old")
    r = run("render", module, "-o", out, "--seconds", "1", env=with_faults(FILE_SYSTEM_FAULTS_SYNC="1", **switches))
    check("a flush that fails keeps the old file (%s)" % kind, one_line(r, 1)
          and b"out.wav: cannot write (Input/output error)" in r.stderr and read(out) == b"old"
          and sorted(os.listdir(d)) == ["out.wav", "song.xm"], (r.returncode, r.stderr, os.listdir(d)))

# Only sound file names; standard output, devices and pipes take WAV.
d = folder("endings")
before = snapshot(d)
for name in ["x.aiff", "x.opus", "x", "x.wav.txt", "wav", "x.wav ", ".ogg/"]:
    r = run("render", module, "-o", os.path.join(d, name), "--seconds", "1")
    check("render refuses -o %r" % name, one_line(r, 2) and b".wav, .flac, .ogg or .mp3" in r.stderr
          and snapshot(d) == before, r.stderr)
for name, magic in [("X.WAV", b"RIFF"), ("x.Flac", b"fLaC"), ("x.OGG", b"OggS"), ("x.mP3", b"\xff\xfb")]:
    r = run("render", module, "-o", os.path.join(d, name), "--seconds", "1")
    check("render writes %s" % name, r.returncode == 0 and read(os.path.join(d, name))[:len(magic)] == magic)


def render_to_fifo(fifo, *args):
    """Renders into a new FIFO while a thread reads it: the run and what was read (one item, or none)."""
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(read(fifo)))
    reader.start()
    r = run("render", module, "-o", fifo, *args)
    reader.join(timeout=30)
    return r, got


r, got = render_to_fifo(os.path.join(d, "fifo"), "--seconds", "1")
check("a pipe without an ending gets WAV", r.returncode == 0 and got == [one_second], r.stderr)


def mp3_tag(data):
    """The Xing/Info tag the encoder puts in the first frame once the file is complete."""
    return b"Xing" in data[:200] or b"Info" in data[:200]


# A pipe (or standard output by a link) named for another format gets the
# very file a render to a file gives: FLAC's stream info and MP3's tag are
# completed at the end, which a pipe cannot go back to. Ogg files differ by
# their random serial number only. A write that fails is told on standard
# error, never on standard output.
for ext, same in [("flac", lambda a, b: a == b), ("mp3", lambda a, b: mp3_tag(a) and abs(len(a) - len(b)) < 4096),
                  ("ogg", lambda a, b: len(a) == len(b) and a[:4] == b"OggS")]:
    r = run("render", module, "-o", os.path.join(d, "file." + ext), "--seconds", "3")
    file_bytes = read(os.path.join(d, "file." + ext))
    fifo = os.path.join(d, "fifo." + ext)
    r, got = render_to_fifo(fifo, "--seconds", "3")
    check("a pipe named .%s gets the file's bytes" % ext, r.returncode == 0 and len(got) == 1
          and same(got[0], file_bytes), (r.stderr, len(got[0]) if got else None, len(file_bytes)))
    link = os.path.join(d, "out." + ext)
    os.symlink("/dev/stdout", link)
    r = run("render", module, "-o", link, "--seconds", "3")
    check("standard output through a link named .%s gets the file's bytes" % ext, r.returncode == 0
          and same(r.stdout, file_bytes), (r.stderr, len(r.stdout), len(file_bytes)))
    for name in [fifo, link, os.path.join(d, "file." + ext)]:
        os.unlink(name)
    full_link = os.path.join(d, "full." + ext)
    os.symlink("/dev/full", full_link)
    r = run("render", module, "-o", full_link, "--seconds", "3")
    check(".%s to a full device fails on standard error only" % ext, one_line(r, 1)
          and b"No space left on device" in r.stderr and r.stdout == b"", (r.stderr, r.stdout))
    os.unlink(full_link)

# Long names, and files the user may or may not write.
d = folder("permissions")
for length in [251, 255]:
    name = "a" * (length - 4) + ".wav"
    r = run("render", module, "-o", os.path.join(d, name), "--seconds", "1")
    ok = r.returncode == 0 and read(os.path.join(d, name)) == one_second
    check("a name of %d bytes is written" % length, ok and sorted(os.listdir(d)) == [name, "song.xm"], r.stderr)
    for leftover in set(os.listdir(d)) - {"song.xm"}:
        os.unlink(os.path.join(d, leftover))
r = run("render", module, "-o", os.path.join(d, "a" * 252 + ".wav"), "--seconds", "1")
check("a name over 255 bytes is refused", one_line(r, 1) and b"File name too long" in r.stderr
      and os.listdir(d) == ["song.xm"], r.stderr)

locked = os.path.join(tmp, "locked")
os.mkdir(locked)
w = os.path.join(locked, "w.wav")
open(w, "wb").write(b"old")
os.chmod(w, 0o640)
if root:
    os.chown(w, NOBODY, NOBODY)
os.chmod(locked, 0o555)
before = os.stat(w)
r = run("render", module, "-o", w, "--seconds", "1", user=True)
after = os.stat(w)
check("a writable file in a folder the user cannot write is written", r.returncode == 0 and read(w) == one_second
      and os.listdir(locked) == ["w.wav"], r.stderr)
check("... in place: the same file, its mode and owner", (after.st_ino, after.st_mode, after.st_uid) ==
      (before.st_ino, before.st_mode, before.st_uid))
r = run("render", module, "-o", os.path.join(locked, "new.wav"), "--seconds", "1", user=True)
check("a new file in a folder the user cannot write is refused", one_line(r, 1) and b"Permission denied" in r.stderr
      and os.listdir(locked) == ["w.wav"], r.stderr)

# Write-protected, in a folder the user may write (which would let the
# file be replaced through the folder) and in one the user may not.
writable = folder("writable")
if root:
    os.chown(writable, NOBODY, NOBODY)
for place in [writable, locked]:
    os.chmod(locked, 0o755)
    ro = os.path.join(place, "ro.wav")
    open(ro, "wb").write(b"old")
    os.chmod(ro, 0o444)
    if root:
        os.chown(ro, NOBODY, NOBODY)
    os.chmod(locked, 0o555)
    before = sorted(os.listdir(place))
    for args in [["-o", ro], ["-o", os.path.join(writable, "x.wav"), "--positions", ro]]:
        r = run("render", module, *args, "--seconds", "1", user=True)
        check("a file the user may not write is refused: %s in %s" % (args[-2], os.path.basename(place)),
              one_line(r, 1) and b"Permission denied" in r.stderr and read(ro) == b"old"
              and stat.S_IMODE(os.stat(ro).st_mode) == 0o444 and sorted(os.listdir(place)) == before
              and "x.wav" not in os.listdir(writable), r.stderr)

keep = os.path.join(d, "keep.wav")
open(keep, "wb").write(b"old")
os.chmod(keep, 0o604)
if root:
    os.chown(keep, NOBODY, NOBODY)
before = os.stat(keep)
r = run("render", module, "-o", keep, "--seconds", "1")
after = os.stat(keep)
check("a replaced file keeps its mode and owner", r.returncode == 0 and read(keep) == one_second
      and (after.st_mode, after.st_uid, after.st_gid) == (before.st_mode, before.st_uid, before.st_gid),
      (oct(after.st_mode), after.st_uid))

# Two outputs naming one file.
d = folder("one-place")
os.mkdir(os.path.join(d, "sub"))
os.symlink("x.wav", os.path.join(d, "l.wav"))
open(os.path.join(d, "y.wav"), "wb").write(b"old")
before = snapshot(d)
for args, cwd in [(["-o", "x.wav", "--positions", "x.wav"], d), (["-o", "x.wav", "--positions", "./x.wav"], d),
                  (["-o", "sub/../x.wav", "--positions", os.path.join(d, "x.wav")], d),
                  (["-o", "l.wav", "--positions", "x.wav"], d), (["-o", "y.wav", "--positions", "y.wav"], d),
                  (["-o", "-", "--positions", "-"], None), (["-o", "-", "--positions", "/dev/stdout"], None),
                  (["-o", "/dev/fd/1", "--positions", "-"], None)]:
    r = run("render", module, *args, "--seconds", "1", cwd=cwd)
    check("render refuses %s" % " ".join(args), one_line(r, 2) and r.stdout == b"" and snapshot(d) == before,
          (r.returncode, r.stderr))
r = run("render", module, "-o", "/dev/null", "--positions", "/dev/null", "--seconds", "1")
check("a device takes both outputs", r.returncode == 0, r.stderr)

# A folder that does not tell letter case apart (exFAT, as on memory cards,
# through FUSE, which gives each spelling of a name an inode number of its
# own): an input is never written over under another spelling of its name,
# and two outputs whose names differ only in case are one file.
def case_blind_folder():
    """An exFAT file system mounted through FUSE on a loop device: its
    folder and what ends it, or None where that cannot be done here."""
    if not root or not all(shutil.which(p) for p in ["mkfs.exfat", "mount.exfat-fuse", "losetup"]):
        return None
    image = os.path.join(tmp, "exfat.img")
    with open(image, "wb") as f:
        f.truncate(16 << 20)
    if subprocess.run(["mkfs.exfat", image], capture_output=True).returncode != 0:
        return None
    loop = subprocess.run(["losetup", "-f", "--show", image], capture_output=True, text=True)
    if loop.returncode != 0:
        return None
    device = loop.stdout.strip()
    mount = os.path.join(tmp, "exfat")
    os.mkdir(mount)
    if subprocess.run(["mount.exfat-fuse", device, mount], capture_output=True).returncode != 0:
        subprocess.run(["losetup", "-d", device])
        return None

    def end():
        subprocess.run(["umount", mount])
        subprocess.run(["losetup", "-d", device])
    return mount, end


blind = case_blind_folder()
if blind is None:
    skipped("a folder that does not tell letter case apart", "no exFAT through FUSE on a loop device here")
else:
    e, unmount = blind
    try:
        other = shutil.copy(os.path.join(corpus, "vodovod--walk.xm"), os.path.join(tmp, "other.xm"))
        for case, (name, files, args) in enumerate([
                ("a module named .WAV without -o", ["tune.WAV"], ["tune.WAV"]),
                ("-o the input in other letter case", ["tune.wav"], ["tune.wav", "-o", "TUNE.wav"]),
                ("--positions the input in other letter case", ["song.xm"],
                 ["song.xm", "-o", "x.wav", "--positions", "SONG.XM"]),
                ("an input's stem in other letter case", ["song.xm", "SONG-01.WAV"],
                 ["song.xm", "SONG-01.WAV", "--stems", "-o", "./"]),
                ("-o the input in other letter case beyond ASCII", ["Müsik.wav"], ["Müsik.wav", "-o", "MÜSIK.WAV"])]):
            d = os.path.join(e, str(case))
            os.mkdir(d)
            for f in files:
                shutil.copy(module, os.path.join(d, f))
            before = snapshot(d)
            r = run("render", *args, "--seconds", "1", cwd=d)
            check("render refuses %s where letter case is not told apart" % name,
                  r.returncode == 2 and b"input" in r.stderr and snapshot(d) == before, (r.returncode, r.stderr))
        os.mkdir(os.path.join(e, "out"))
        for d, f in [("a", "song.xm"), ("b", "SONG.xm")]:
            os.makedirs(os.path.join(tmp, "cases", d), exist_ok=True)
            shutil.copy(module if d == "a" else other, os.path.join(tmp, "cases", d, f))
        a, b = os.path.join(tmp, "cases", "a", "song.xm"), os.path.join(tmp, "cases", "b", "SONG.xm")
        out = os.path.join(e, "out")
        r = run("render", a, b, "-o", out + "/", "-j", "1", "--seconds", "1")
        check("two new outputs that differ only in letter case: the second is refused, the first kept",
              one_line(r, 1) and b"out/SONG.wav: cannot write (the folder does not tell letter case apart: it is "
              + out.encode() + b"/song.wav, written for " + a.encode() + b")" in r.stderr
              and os.listdir(out) == ["song.wav"] and read(os.path.join(out, "song.wav")) == one_second,
              (r.returncode, r.stderr, os.listdir(out)))
        r = run("render", a, b, "-o", out + "/", "--seconds", "3")
        check("... and refused before anything is written once the file is there",
              one_line(r, 2) and b"would both be written to" in r.stderr and os.listdir(out) == ["song.wav"]
              and read(os.path.join(out, "song.wav")) == one_second, (r.returncode, r.stderr, os.listdir(out)))
        os.unlink(os.path.join(out, "song.wav"))
        r = run("render", a, "-o", os.path.join(e, "x.wav"), "--positions", os.path.join(e, "X.WAV"),
                "--seconds", "1")
        check("-o and --positions that differ only in letter case: neither is written",
              one_line(r, 2) and b"X.WAV: cannot write (the folder does not tell letter case apart" in r.stderr
              and sorted(os.listdir(e)) == ["0", "1", "2", "3", "4", "out"], (r.returncode, r.stderr, os.listdir(e)))
    finally:
        unmount()

# Links in a sticky folder everyone may write (/tmp): another user's link
# is not followed, or anyone could point the name a render writes at any
# file of the user's; the user's own link and the folder owner's are.
if not root:
    skipped("links of other users in a sticky folder", "not run as root")
else:
    d = folder("sticky")
    precious = os.path.join(tmp, "precious.txt")
    link = os.path.join(d, "module.wav")
    for link_owner, folder_owner, followed in [(NOBODY, 0, False), (0, 0, True), (NOBODY, NOBODY, True)]:
        for args in [["-o", link], ["-o", d + "/"], ["-o", os.path.join(d, "x.wav"), "--positions", link]]:
            open(precious, "wb").write(b"precious")
            os.symlink(precious, link)
            os.lchown(link, link_owner, link_owner)
            os.chown(d, folder_owner, folder_owner)
            os.chmod(d, 0o1777)
            r = run("render", module, *args, "--seconds", "1")
            kept = os.path.islink(link) and os.readlink(link) == precious
            if followed:
                ok = r.returncode == 0 and kept and read(precious)[:4] in (b"RIFF", b"0,0,")
            else:
                ok = one_line(r, 1) and b"module.wav: cannot write (Permission denied)" in r.stderr and kept \
                    and read(precious) == b"precious" and sorted(os.listdir(d)) == ["module.wav", "song.xm"]
            check("render %s: a link of %s in a sticky folder of %s is %s" % (
                " ".join(a.replace(d, "DIR") for a in args), "nobody" if link_owner else "the user",
                "nobody" if folder_owner else "the user", "followed" if followed else "refused"), ok,
                (r.returncode, r.stderr, os.listdir(d)))
            for name in os.listdir(d):
                if name != "song.xm":
                    os.unlink(os.path.join(d, name))

# Names in messages: escape sequences come out harmless, UTF-8 as it is.
d = folder("shown").encode()
esc = b"\x1b]0;pwned\x07\x1b[31m"
bad = os.path.join(d, esc + b".xm")
open(bad, "wb").write(b"not a module")
named = os.path.join(d, esc + b"song.xm")
shutil.copy(module, named)
song = os.path.join(d, b"song.xm")
for what, args in [
        ("info of a file that is no module", ["info", bad]),
        ("info of a missing file", ["info", os.path.join(d, esc + b"missing.xm")]),
        ("info with one file too many", ["info", song, esc]),
        ("render of a file that is no module", ["render", bad, "-o", os.path.join(d, b"o.wav")]),
        ("render to a missing folder", ["render", song, "-o", os.path.join(d, esc, b"o.wav")]),
        ("render to an unknown ending", ["render", song, "-o", os.path.join(d, esc + b".aiff")]),
        ("positions in a missing folder", ["render", song, "-o", os.path.join(d, b"o.wav"), "--positions",
                                           os.path.join(d, esc, b"p.csv")]),
        ("render over its input", ["render", named, "-o", named]),
        ("render from after the song's end", ["render", named, "-o", os.path.join(d, b"o.wav"), "--start", "200"]),
        ("a WAV over 4 GiB", ["render", song, "-o", os.path.join(d, esc + b".wav"), "--seconds", "30000"]),
        ("a bad value", ["render", "--seconds", esc]),
        ("an unknown option", ["render", b"--" + esc])]:
    r = run(*args)
    err = r.stderr
    safe = err.endswith(b"\n") and all(c >= 0x20 and c != 0x7F for c in err[:-1])
    try:
        safe = safe and not any(0x80 <= ord(c) < 0xA0 for c in err.decode("utf-8"))
    except UnicodeDecodeError:
        safe = False
    check("%s: the name is shown safely" % what, r.returncode != 0 and safe and b"?]0;pwned??[31m" in err, err)
for name, shown in [
        (b"M\xc3\xbcsik\xff.xm", b"M\xc3\xbcsik\xc3\xbf.xm"),
        # A C1 control in UTF-8 (CSI), an overlong form, a surrogate, above U+10FFFF.
        (b"\xc2\x9b31m\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80.xm", b"?31m\xc3\x80\xc2\xaf\xc3\xad\xc2\xa0?\xc3\xb4???.xm")]:
    r = run("info", os.path.join(d, name))
    check("a name in UTF-8 is shown as it is, other bytes as Latin-1: %r" % name,
          r.stderr == b"zevora-cli: " + os.path.join(d, shown) + b": cannot open (No such file or directory)\n",
          r.stderr)

os.chmod(locked, 0o755)
shutil.rmtree(tmp, ignore_errors=True)
report.finish()
