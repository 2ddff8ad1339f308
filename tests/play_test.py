#!/usr/bin/env python3
"""zevora-cli play as people use it, through SDL's disk audio driver: a list
of two files (each pass exact, a short gap, silence at the end, the
program ends by itself); starts at or past a song's end, and a song with no
end; and on a pseudo-terminal: the keys, to the frame (pause holds the play
time, a seek moves it by exactly 10 s, a seek while paused is heard only
once play resumes), the play time after the terminal held the program up
for longer than the ring (Ctrl-S), a file that vanished before a seek, the
status line at every width, job control (started with &, Ctrl-Z, SIGSTOP, fg, bg),
and each way out leaving the terminal as it was and ending by its signal."""
import array
import fcntl
import os
import pty
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unicodedata
import wave

from report import Report

cli, corpus, seeds_script = sys.argv[1], sys.argv[2], sys.argv[3]
sys.path.insert(0, os.path.dirname(seeds_script))
import make_seeds  # noqa: E402

tmp = tempfile.mkdtemp()
report = Report()
check = report.check
RATE = 44100
SEEK = 10 * RATE


def render(module, *args):
    out = os.path.join(tmp, "r.wav")
    subprocess.run([cli, "render", module, "-o", out, *args], check=True, capture_output=True)
    with wave.open(out) as w:
        return array.array("h", w.readframes(w.getnframes()))


def first_sound(a, start=0):
    for i in range(start, len(a)):
        if a[i]:
            return i - i % 2
    return len(a)


def last_sound(a, start, end):
    for i in range(min(end, len(a)) - 1, start - 1, -1):
        if a[i]:
            return i - i % 2
    return start - 2


def same_run(a, ai, b, bi):
    """How many samples a[ai:] and b[bi:] have in common from their start."""
    n = min(len(a) - ai, len(b) - bi)
    done, step = 0, 1 << 16
    while done < n:
        k = min(step, n - done)
        if a[ai + done:ai + done + k] == b[bi + done:bi + done + k]:
            done += k
        elif k > 1:
            step = max(1, k // 2)
        else:
            break
    return done


def disk_env(capture):
    return dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=capture)


def capture_of(path):
    return array.array("h", open(path, "rb").read())


def ms(frames):
    return frames * 1000 // RATE


subprocess.run([sys.executable, seeds_script, tmp], check=True)
one, two = os.path.join(tmp, "effects.xm"), os.path.join(tmp, "pingpong16.xm")
module = os.path.join(corpus, "vor--mph.xm")

# A list of two files: each pass exact, a gap under 0.5 s, then silence.
capture = os.path.join(tmp, "list.raw")
start = time.time()
r = subprocess.run([cli, "play", one, two], env=disk_env(capture), capture_output=True, timeout=60)
took = time.time() - start
a, b = render(one), render(two)
heard = capture_of(capture)
ca, ra = first_sound(heard), first_sound(a)
end_a = ca - ra + len(a)
ok = r.returncode == 0 and heard[ca:end_a] == a[ra:]
check("first file's pass heard exactly", ok, (r.returncode, r.stderr, len(heard), end_a))
cb, rb = first_sound(heard, end_a), first_sound(b)
start_b = cb - rb
check("second file follows at the next frame, without a gap", ok and start_b == end_a, (start_b - end_a) // 2)
check("second file's pass heard exactly, then silence",
      heard[start_b:start_b + len(b)] == b and not any(heard[start_b + len(b):]), len(heard) - start_b - len(b))
check("the program ends by itself", took < (len(a) + len(b)) / 88200 + 5, took)

# Stopped for 3 s (longer than a device may be silent while playing) and
# continued: the device is not taken for lost (and reopened), the pass is
# heard exactly.
capture = os.path.join(tmp, "stopped.raw")
p = subprocess.Popen([cli, "play", one], env=disk_env(capture), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
time.sleep(1.0)
os.kill(p.pid, signal.SIGSTOP)
time.sleep(3.0)
os.kill(p.pid, signal.SIGCONT)
err = p.communicate(timeout=30)[1]
heard = capture_of(capture)
c = first_sound(heard)
check("stopped for 3 s and continued: the pass heard exactly, the device kept",
      p.returncode == 0 and b"sound device" not in err and heard[c:c + len(a) - ra] == a[ra:] and
      not any(heard[c + len(a) - ra:]), (p.returncode, err[-200:]))

# Without a terminal the play time once a second, counted in frames heard
# (the window's time): from --start 60 the first second reads 00:01:01, and
# 2.5 s reach 00:01:03 at most. (Which second the first line falls in
# depends on how far the device has read by then.)
capture = os.path.join(tmp, "time.raw")
r = subprocess.run([cli, "play", module, "--start", "60", "--seconds", "2.5"], env=disk_env(capture),
                   capture_output=True, timeout=60)
times = r.stdout.decode().split()
check("the play time from --start 60 counts from 1:00", r.returncode == 0 and times
      and times == sorted(times) and set(times) <= {"00:01:01", "00:01:02", "00:01:03"}, (r.returncode, times))

r = subprocess.run([cli, "play", one, os.path.join(tmp, "missing.xm"), two], env=dict(os.environ,
                   SDL_AUDIODRIVER="dummy"), capture_output=True, timeout=60)
check("a file that cannot be loaded is skipped, exit code 1",
      r.returncode == 1 and r.stderr.count(b"\n") == 1 and b"missing.xm" in r.stderr, r.stderr)

# After -- every argument is a FILE: one named like an option is played.
shutil.copyfile(two, os.path.join(tmp, "--loops"))
capture = os.path.join(tmp, "dashed.raw")
r = subprocess.run([cli, "play", "--", "--loops"], cwd=tmp, env=disk_env(capture), capture_output=True, timeout=60)
heard, whole = capture_of(capture) if os.path.exists(capture) else [], render(two)
c, w = first_sound(heard), first_sound(whole)
check("play -- --loops plays the file named --loops", r.returncode == 0 and heard[c:c + len(whole) - w] == whole[w:]
      and not any(heard[c + len(whole) - w:]), (r.returncode, r.stderr))

# Standard output that cannot be written: the reason of the failed write,
# exit code 1. Standard input and output closed: the time lines do not end
# up in a file opened later (the disk driver's capture), which holds
# exactly the render.
def closing(*fds):
    return lambda: [os.close(fd) for fd in fds]


for name, stdout, preexec, said in [
        ("to a full disk", open("/dev/full", "wb"), None, b"cannot write to standard output (No space left on device)"),
        ("closed", None, closing(1), b"cannot write to standard output (Bad file descriptor)"),
        ("and standard input closed", None, closing(0, 1), b"cannot write to standard output (Bad file descriptor)")]:
    capture = os.path.join(tmp, "output.raw")
    r = subprocess.run([cli, "play", module, "--seconds", "2.5"], env=disk_env(capture), stdout=stdout,
                       stderr=subprocess.PIPE, preexec_fn=preexec, timeout=60)
    err = b"".join(line for line in r.stderr.splitlines(True) if not line.startswith(b"CRITICAL:"))
    heard, whole = capture_of(capture), render(module, "--seconds", "2.5")
    c, w = first_sound(heard), first_sound(whole)
    check("standard output %s: exit 1, %r, the capture exactly the render" % (name, said),
          r.returncode == 1 and err == b"zevora-cli: " + said + b"\n" and heard[c:c + len(whole) - w] == whole[w:]
          and not any(heard[c + len(whole) - w:]), (r.returncode, err, len(heard) - c, len(whole) - w))

# A start at or past the end of what was asked for is said, and the next
# file plays (exit code 1 at the end); a start inside the second pass plays
# exactly the rest of it. (pingpong16.xm: one pass is 0:00.960.)
for args, stderr, code, heard_render in [
        ([two, "--start", "5"], "--start 0:05.000 is at or past the song's end, 0:00.960", 1, None),
        ([two, "--start", "0.96"], "--start 0:00.960 is at or past the song's end, 0:00.960", 1, None),
        ([two, "--start", "2", "--loops", "2"], "--start 0:02.000 is at or past the end of pass 2, 0:01.920", 1, None),
        ([two, one, "--start", "1.5"], "--start 0:01.500 is at or past the song's end, 0:00.960", 1,
         (one, "--start", "1.5")),
        ([two, "--start", "1.5", "--loops", "2"], "", 0, (two, "--start", "1.5", "--loops", "2")),
        ([module, "--start", "75.3", "--seconds", "1"], "", 0, (module, "--start", "75.3", "--seconds", "1"))]:
    capture = os.path.join(tmp, "start.raw")
    r = subprocess.run([cli, "play", *args], env=disk_env(capture), capture_output=True, timeout=60)
    want = ("zevora-cli: %s: %s\n" % (two, stderr)).encode() if stderr else b""
    said = b"".join(line for line in r.stderr.splitlines(True) if not line.startswith(b"CRITICAL:"))  # the disk driver's
    ok = r.returncode == code and said == want
    if heard_render:
        heard, whole = capture_of(capture), render(*heard_render)
        c, w = first_sound(heard), first_sound(whole)
        ok = ok and heard[c:c + len(whole) - w] == whole[w:] and not any(heard[c + len(whole) - w:])
    elif os.path.exists(capture):
        ok = ok and not any(capture_of(capture))
    check("play %s: exit %d, %r" % (" ".join(args[1:]), code, stderr), ok, (r.returncode, r.stderr))


def job_shell(args, env, background, events, commands):
    """A session leader that runs play as a job of its own, as a shell with
    job control does: in the foreground, or in the background; reports its
    stops (with the terminal's local modes at that moment) and its end on
    `events`, sets the terminal up for itself again once the job stops, and
    takes f (fg), b (bg), s (SIGSTOP) and z (Ctrl-Z heard by the job only
    once the shell has the terminal back) from `commands`."""
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    own = termios.tcgetattr(0)
    player = os.fork()
    if player == 0:
        os.setpgid(0, 0)
        if not background:
            os.tcsetpgrp(0, os.getpid())
        signal.signal(signal.SIGTTOU, signal.SIG_DFL)
        os.execve(cli, [cli, "play", *args], env)
    try:
        os.setpgid(player, player)
    except OSError:
        pass
    while True:
        if select.select([commands], [], [], 0.02)[0]:
            got = os.read(commands, 16)
            if not got:  # the test is over
                os.killpg(player, signal.SIGKILL)
                os._exit(1)
            for c in got.decode():
                if c == "z":  # the terminal taken back before the job hears Ctrl-Z
                    # Set up by the shell for itself: its own settings, told
                    # apart from those play started with by ECHOKE off.
                    os.tcsetpgrp(0, os.getpgrp())
                    shells = [*own[:3], own[3] & ~termios.ECHOKE, *own[4:]]
                    termios.tcsetattr(0, termios.TCSANOW, shells)
                    os.kill(-player, signal.SIGTSTP)
                    continue
                if c == "f":
                    os.tcsetpgrp(0, player)
                os.kill(-player, signal.SIGSTOP if c == "s" else signal.SIGCONT)
        pid, status = os.waitpid(player, os.WNOHANG | os.WUNTRACED)
        if pid and os.WIFSTOPPED(status):
            lflag = termios.tcgetattr(0)[3]
            os.tcsetpgrp(0, os.getpgrp())
            termios.tcsetattr(0, termios.TCSANOW, own)
            os.write(events, b"stopped %d %d\n" % (os.WSTOPSIG(status), lflag))
        elif pid:
            os.write(events, b"exited %d\n" % os.waitstatus_to_exitcode(status))
            os._exit(0)


class Terminal:
    """zevora-cli play on a pseudo-terminal `columns` wide; with job_control,
    under job_shell."""

    def __init__(self, args, env, columns=100, job_control=False, background=False):
        events_r, events_w = os.pipe()
        commands_r, commands_w = os.pipe()
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
                resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
                if job_control:
                    job_shell(args, env, background, events_w, commands_r)
                os.execve(cli, [cli, "play", *args], env)
            finally:
                os._exit(127)
        os.close(events_w)
        os.close(commands_r)
        self.events, self.commands = events_r, commands_w
        self.raw = b""

    @property
    def text(self):
        return self.raw.decode("utf-8", "replace")

    def read(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            if select.select([self.fd], [], [], 0.05)[0]:
                try:
                    self.raw += os.read(self.fd, 4096)
                except OSError:
                    break

    def send(self, keys):
        os.write(self.fd, keys)

    def job(self, command):
        """fg (b"f") or bg (b"b") to the job shell."""
        os.write(self.commands, command)

    def resize(self, columns):
        fcntl.ioctl(self.fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))

    def lflag(self):
        return termios.tcgetattr(self.fd)[3]

    def key_mode(self):
        return not self.lflag() & (termios.ICANON | termios.ECHO)

    def times(self, text=None):
        return re.findall(r"(\d+):(\d\d)\.(\d\d\d) / ", self.text if text is None else text)

    def last_ms(self):
        m, s, f = self.times()[-1]
        return (int(m) * 60 + int(s)) * 1000 + int(f)

    def updates(self, since=0):
        """The status lines written since raw[since:], as text."""
        return [u[:-3] for u in self.raw[since:].decode("utf-8", "replace").split("\r") if u.endswith("\x1b[K")
                and u != "\x1b[K"]

    def event(self, seconds=5):
        """The job shell's next report, or None."""
        if select.select([self.events], [], [], seconds)[0]:
            line = b""
            while not line.endswith(b"\n"):
                line += os.read(self.events, 1)
            return line.decode().split()
        return None

    def wait(self, seconds=10):
        os.close(self.commands)
        end = time.time() + seconds
        while time.time() < end:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.read(0.1)
                return os.waitstatus_to_exitcode(status)
            self.read(0.1)
        os.kill(self.pid, signal.SIGKILL)
        return None


def stretch(heard, at, whole, frame):
    """The frames heard from heard[at:] that are whole[2 * frame:] up to
    where the capture falls silent: as few and as many as that can be (the
    song's own silence at the end makes it uncertain)."""
    same = same_run(heard, at, whole, 2 * frame)
    last = last_sound(heard, at, at + same)
    return (last - at) // 2 + 1, same // 2


# The keys, to the frame. The terminal holds the program up for 3 s (Ctrl-S;
# longer than the 2-s ring) while the device plays on; the play time shown
# on a pause afterwards is then that of the frames heard. A seek while
# paused moves the time by exactly 10 s and is heard only once play resumes,
# from exactly 10 s after the frame at which it paused.
capture = os.path.join(tmp, "keys.raw")
t = Terminal([module], disk_env(capture))
t.read(1.0)
check("a status line on the terminal, in key mode",
      "[1/1] VoR Theme" in t.text and "ord" in t.text and "row" in t.text and t.key_mode(), t.text[-200:])
t.send(b"\x13")  # Ctrl-S: the program's writes to the terminal wait
time.sleep(3.0)
t.send(b"\x11")  # Ctrl-Q
t.read(0.5)
t.send(b" ")
t.read(0.5)
paused_at = t.last_ms()
t.read(0.5)
check("pause holds the play time", t.last_ms() == paused_at and "[paused]" in t.updates()[-1], (paused_at, t.last_ms()))
t.send(b"\x1b[C")
t.read(0.5)
seek_shown = t.last_ms()
t.read(1.0)
check("a seek while paused moves the time by exactly 10 s and holds it",
      seek_shown == t.last_ms() == paused_at + 10000 and "[paused]" in t.updates()[-1], (paused_at, seek_shown, t.last_ms()))
t.send(b" ")
t.read(1.5)
t.send(b" ")
t.read(0.5)
paused_again = t.last_ms()
t.send(b"q")
code = t.wait()
check("q quits", code == 0, code)
heard, whole = capture_of(capture), render(module)
c0 = first_sound(heard) - first_sound(whole)  # where the song's first frame was heard
low, high = stretch(heard, c0, whole, 0)
check("after the terminal held the program up for 3 s, the time on pause is that of the frames heard",
      high - low < 441 and ms(low) <= paused_at <= ms(high), (paused_at, ms(low), ms(high)))
# Only silence while paused, then the song from exactly 10 s after the pause.
ok, detail = False, None
for paused_frame in range(low, high + 1):
    if ms(paused_frame) != paused_at:
        continue
    target = paused_frame + SEEK
    resumed = first_sound(heard, c0 + 2 * high) - (first_sound(whole, 2 * target) - 2 * target)
    low2, high2 = stretch(heard, resumed, whole, target)
    gap = (resumed - c0) // 2 - high
    after = resumed + 2 * high2
    ok = ms(target + low2) <= paused_again <= ms(target + high2) and gap > 1.5 * RATE and not any(heard[after:])
    detail = (paused_frame, gap / RATE, high2, ms(target + low2), paused_again, len(heard) - after)
    if ok:
        break
check("audio after a seek while paused is the render from 10 s after the pause, once resumed", ok, detail)

# A file that vanished or changed before a seek does not matter: its song
# was loaded once and stays in memory, so the seek lands 10 s on and play
# goes on; nothing is reported.
for name, change in [("vanished", os.remove), ("changed", lambda p: open(p, "wb").write(b"garbage"))]:
    copy = os.path.join(tmp, name + ".xm")
    shutil.copyfile(module, copy)
    t = Terminal([copy, two], dict(os.environ, SDL_AUDIODRIVER="dummy"))
    t.read(1.0)
    change(copy)
    t.send(b"\x1b[C")
    t.read(0.8)
    times = [int(m) * 60 + float(s_) for m, s_ in re.findall(r"\[1/2\] .*? (\d+):(\d\d\.\d{3}) /", t.text)]
    t.send(b"q")
    code = t.wait(10)
    check("a seek in a file that %s: lands 10 s on and plays on, nothing reported" % name,
          code == 0 and "zevora-cli:" not in t.text and times and times[-1] >= 10.0, (code, times[-3:], t.text[-200:]))

# The row on the status line is the one heard: that of the block being
# heard, at most a block (and a device's period, should it take one in
# between) after the play time shown, in each file of a list. (pingpong16.xm:
# 8 rows of 5,292 frames.)
t = Terminal([two, two, "--loops", "2"], disk_env(os.path.join(tmp, "rows.raw")))
t.read(5.0)
code = t.wait()
rows = [((int(m) * 60 + int(s)) * 1000 + int(f), int(r)) for u in t.updates()
        for m, s, f, r in re.findall(r"(\d+):(\d\d)\.(\d{3}) / .*row +(\d+)", u)]


def rows_heard(ms):
    frame = ms * RATE // 1000
    return {r % 8 for r in range(frame // 5292, (frame + 45 + 884 + 4096) // 5292 + 1)}


wrong = [(ms, r) for ms, r in rows if r not in rows_heard(ms)]
check("the status line's row is the row heard", code == 0 and len(rows) >= 20 and not wrong,
      (code, len(rows), wrong[:5]))

# The status line fits the terminal at every width, and follows a new
# width; a module without a title shows its file's base name, as UTF-8.
folder = os.path.join(tmp, "some folder")
os.mkdir(folder)
untitled = os.path.join(folder, "M\u00fcsik.xm")
data = bytearray(open(module, "rb").read())
data[17:37] = bytes(20)
open(untitled, "wb").write(data)
t = Terminal([untitled, "--loops", "0"], dict(os.environ, SDL_AUDIODRIVER="dummy"), columns=20)
t.read(1.0)
narrow = t.updates()
t.resize(100)
t.read(0.6)
mark = len(t.raw)
t.read(0.6)
wide = t.updates(mark)
t.resize(60)
t.read(0.6)
mark = len(t.raw)
t.read(0.6)
middle = t.updates(mark)
t.send(b"q")
t.wait()


def columns(text):
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


check("20 columns: every update in 19 columns, none wraps",
      len(narrow) >= 5 and "\n" not in t.text and all(re.fullmatch(r"\d:\d\d\.\d{3} / -:--\.---", u) for u in narrow),
      narrow[-3:])
check("100 columns: the whole line with the file's base name and the meter",
      len(wide) >= 3 and all(columns(u) <= 99 and u.startswith("[1/1] M\u00fcsik.xm  ") and " L " in u for u in wide),
      wide[-2:])
check("60 columns: the meter left out", len(middle) >= 3 and all(
    columns(u) <= 59 and u.startswith("[1/1] M\u00fcsik.xm  ") and " L " not in u for u in middle), middle[-2:])

# The keys that are not play's do nothing, whatever digits their escape
# sequences hold (F5, Shift-Right, Ctrl-Right...); an arrow seeks however
# its bytes come (in pieces, or as the keypad sends it), and Escape on its
# own leaves the key after it as it is.
t = Terminal([module, "--loops", "0"], dict(os.environ, SDL_AUDIODRIVER="dummy"))
t.read(1.0)
for name, pieces, seek in [
        ("F5", [b"\x1b[15~"], 0), ("Shift-Right", [b"\x1b[1;2C"], 0), ("Ctrl-Left", [b"\x1b[1;5D"], 0),
        ("Page Up, Home, End, F1", [b"\x1b[5~\x1b[H\x1b[F\x1bOP"], 0), ("F5 in pieces", [b"\x1b[1", b"5~"], 0),
        ("right arrow in pieces", [b"\x1b", b"[", b"C"], 10000), ("keypad right arrow", [b"\x1bOC"], 10000),
        ("Escape, then right arrow", [b"\x1b", b"\x1b[C"], 10000), ("left arrow in pieces", [b"\x1b[", b"D"], -10000),
        ("Escape, then 8", [b"\x1b", b"8"], None)]:
    before = t.last_ms()
    for piece in pieces:
        t.send(piece)
        t.read(0.15)
    t.read(0.4)
    last = t.updates()[-1]
    moved = t.last_ms() - before
    if seek is None:
        ok = last.endswith("mute 8") or " mute 8 " in last
    else:
        ok = "mute" not in last and seek <= moved < seek + 1500
    check("key %s: %s" % (name, "mutes channel 8" if seek is None else "seeks %d s" % (seek // 1000) if seek
                         else "nothing"), ok, (moved, last))
t.send(b"q")
t.wait()

# The length the status line shows: --seconds limits endless play too.
for args, shown in [(["--loops", "0"], "-:--.---"), (["--loops", "0", "--seconds", "700"], "11:40.000"),
                    (["--loops", "0", "--seconds", "5"], "0:05.000"), (["--seconds", "700"], "1:37.920")]:
    t = Terminal([module, *args], dict(os.environ, SDL_AUDIODRIVER="dummy"))
    t.read(0.8)
    t.send(b"q")
    code = t.wait()
    lengths = set(re.findall(r"\d:\d\d\.\d{3} / (\S+)  ord", t.text))
    check("%s: the status line shows the length %s" % (" ".join(args), shown), code == 0 and lengths == {shown},
          (code, lengths))

# A song without an end says so and stops after 10 minutes from the start.
noend = os.path.join(tmp, "noend.xm")
cells = b"".join(b"\x98\x0e\x60" if row == 0 else b"\x98\x0e\x6f" if row == ch + 1 else b"\x80"
                 for row in range(8) for ch in range(6))
open(noend, "wb").write(make_seeds.header(6, 1, 1) + make_seeds.pattern(8, cells) +
                        make_seeds.instrument([[10, 20, -30, 5] * 8]))
t = Terminal([noend, "--start", "60"], dict(os.environ, SDL_AUDIODRIVER="dummy"))
t.read(1.5)
t.send(b"q")
code = t.wait()
check("a song without an end: said once, and the status shows no end",
      code == 0 and t.text.count("zevora-cli: %s: no end found; playing 10 minutes\r\n" % noend) == 1 and
      re.search(r"\[1/1\] seed  1:00\.\d{3} / no end  ord", t.text), (code, t.text[-200:]))

# Each way out: the terminal as it was, the status line cleared, the cursor
# never hidden, and the program ends by the signal (a crash too).
for name, how, status in [("Ctrl-C", b"\x03", -signal.SIGINT), ("Ctrl-\\", b"\x1c", -signal.SIGQUIT),
                          ("SIGTERM", signal.SIGTERM, -signal.SIGTERM), ("SIGHUP", signal.SIGHUP, -signal.SIGHUP),
                          ("a crash", signal.SIGSEGV, -signal.SIGSEGV)]:
    t = Terminal([module, "--loops", "0"], dict(os.environ, SDL_AUDIODRIVER="dummy"))
    t.read(1.0)
    raw = t.key_mode()
    if isinstance(how, bytes):
        t.send(how)
    else:
        os.kill(t.pid, how)
    code = t.wait()
    lflag = t.lflag()
    check("%s: the terminal restored, the program ended by the signal" % name,
          raw and code == status and lflag & termios.ECHO and lflag & termios.ICANON and t.raw.endswith(b"\r\x1b[K")
          and b"\x1b[?25l" not in t.raw, (raw, code, lflag, t.raw[-40:]))

# A stop signal while play seeks to a far --start (days into endless play:
# a long while of work) ends the program at once, on a terminal (Ctrl-C,
# the terminal restored) and without one (SIGTERM).
def terminated_after(p, seconds):
    """SIGTERM to p after `seconds`: its exit code and how long it took to end."""
    time.sleep(seconds)
    sent = time.time()
    p.send_signal(signal.SIGTERM)
    try:
        code = p.wait(60)
    except subprocess.TimeoutExpired:
        p.kill()
        code = p.wait()
    return code, time.time() - sent


for name, on_terminal, status in [("Ctrl-C on a terminal", True, -signal.SIGINT),
                                  ("SIGTERM without a terminal", False, -signal.SIGTERM)]:
    args, env = [module, "--loops", "0", "--start", "604800"], dict(os.environ, SDL_AUDIODRIVER="dummy")
    restored = True
    if on_terminal:
        t = Terminal(args, env)
        t.read(1.0)
        sent = time.time()
        t.send(b"\x03")
        code = t.wait(5)
        took = time.time() - sent
        restored = t.lflag() & termios.ECHO and t.lflag() & termios.ICANON
    else:
        p = subprocess.Popen([cli, "play", *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        code, took = terminated_after(p, 1.0)
    # (The seek itself takes half a minute or more; a loaded machine may be
    # slow to deliver the signal, so "at once" is a few seconds here.)
    check("%s during a seek to --start 7 days: ends by the signal at once" % name,
          code == status and took < 5.0 and restored, (code, took, restored))

# Late in that seek as well: three quarters into the time the start takes
# (until the first time line) the song is still moved on a minute at a
# time, not a second time from its start by the player, deaf to signals.
# (Not in the sanitizers' builds, where the whole seek takes minutes.)
if not os.environ.get("ZEVORA_SANITIZE"):
    args, env = [module, "--loops", "0", "--start", "604800"], dict(os.environ, SDL_AUDIODRIVER="dummy")
    p = subprocess.Popen([cli, "play", *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    began = time.time()
    p.stdout.readline()
    whole = time.time() - began
    p.send_signal(signal.SIGTERM)
    p.wait()
    p = subprocess.Popen([cli, "play", *args], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    code, took = terminated_after(p, 0.75 * whole)
    check("SIGTERM late in a seek to --start 7 days: ends by the signal at once",
          code == -signal.SIGTERM and took < min(5.0, whole / 8), (code, took, whole))

# Job control. Started in the background (play FILE &): it plays, leaves the
# terminal alone and is not stopped; brought to the foreground it takes the
# keys; Ctrl-Z gives the terminal back as it was before it stops; continued
# in the background it plays on without the terminal; fg again and the keys
# work at once.
t = Terminal([module, "--seconds", "60"], dict(os.environ, SDL_AUDIODRIVER="dummy"), job_control=True,
             background=True)
t.read(1.5)
check("started in the background: plays, not stopped, terminal untouched, nothing shown",
      t.event(0) is None and not t.key_mode() and t.raw == b"", (t.raw[-100:], t.lflag()))
t.job(b"f")
t.read(0.6)
check("fg: key mode and the status line, the time run on from the background",
      t.key_mode() and t.updates() and t.last_ms() >= 1000, (t.text[-100:], t.lflag()))
t.send(b" ")
t.read(0.4)
check("keys work after fg", "[paused]" in t.updates()[-1], t.updates()[-1:])
t.send(b"\x1a")
event = t.event()
t.read(0.3)
check("Ctrl-Z: stopped, the terminal given back as it was first",
      event and event[:2] == ["stopped", str(int(signal.SIGTSTP))] and int(event[2]) & termios.ICANON and
      int(event[2]) & termios.ECHO and t.raw.endswith(b"\r\x1b[K"), (event, t.raw[-40:]))
mark = len(t.raw)
t.job(b"b")
t.read(1.0)
check("bg: plays on without the terminal, not stopped", t.event(0) is None and not t.key_mode() and
      t.raw[mark:] == b"", (t.raw[mark:], t.lflag()))
t.job(b"f")
t.read(0.5)
t.send(b" ")  # resume
t.read(0.5)
check("fg again: key mode, and the keys work at once", t.key_mode() and "[paused]" not in t.updates()[-1],
      t.updates()[-2:])


def stop_fg_and_press_space(t, how):
    """Stops the job as `how` says, continues it with fg and presses the
    space key; returns the stop's event and where the output after fg
    starts."""
    t.job(how)
    event = t.event()
    t.job(b"f")
    t.read(0.5)
    mark = len(t.raw)
    t.send(b" ")
    t.read(0.5)
    return event, mark


# Stopped by SIGSTOP (it cannot give the terminal back first: the shell
# takes it as it had it), then fg: key mode again and the keys work; the
# terminal as it was at the end. Continued without a stop: nothing changes.
event, mark = stop_fg_and_press_space(t, b"s")
check("SIGSTOP, then fg: key mode again, the status line back and the keys work at once",
      event and event[:2] == ["stopped", str(int(signal.SIGSTOP))] and t.key_mode() and
      "[paused]" in t.updates(mark)[-1], (event, t.lflag(), t.raw[mark:][-80:]))
t.job(b"b")
t.send(b" ")
t.read(0.5)
check("SIGCONT without a stop: key mode kept, the keys work", t.key_mode() and "[paused]" not in t.updates()[-1],
      t.updates()[-1:])
t.send(b"q")
event = t.event()
check("q ends the job, the terminal as it was", event == ["exited", "0"] and t.lflag() & termios.ICANON and
      t.lflag() & termios.ECHO, (event, t.lflag()))
t.wait()

# The shell may have the terminal back before play hears Ctrl-Z: under a
# script (sh -c '...; ...') the script's shell stops first and the login
# shell takes the terminal at once. Play then stops by Ctrl-Z, leaves the
# terminal as the shell set it, and after fg takes the keys at once.
t = Terminal([module, "--seconds", "60"], dict(os.environ, SDL_AUDIODRIVER="dummy"), job_control=True)
t.read(1.0)
event, mark = stop_fg_and_press_space(t, b"z")
check("Ctrl-Z heard after the shell took the terminal back: stopped by it, the shell's terminal untouched; "
      "fg: key mode and the keys work at once",
      event and event[:2] == ["stopped", str(int(signal.SIGTSTP))] and int(event[2]) & termios.ICANON and
      int(event[2]) & termios.ECHO and not int(event[2]) & termios.ECHOKE and t.key_mode() and "[paused]" in t.updates(mark)[-1],
      (event, t.lflag(), t.raw[mark:][-80:]))
t.send(b"q")
check("and q ends it", t.event() == ["exited", "0"])
t.wait()

# Keys 1-9 and 0 mute and unmute channels 1-10; the status line shows them.
# A channel the song does not have (9 and 10 of an 8-channel song) is left
# alone.
def mutes(song, keys):
    t = Terminal([song, "--loops", "0"], dict(os.environ, SDL_AUDIODRIVER="dummy"))
    t.read(1.0)
    shown = []
    for key in keys:
        t.send(key)
        t.read(0.4)
        shown.append(re.sub(r".*row +\d+", "", t.updates()[-1]).split("  ")[0].strip())
    t.send(b"q")
    t.wait()
    return shown


shown = mutes(os.path.join(corpus, "gemdropx--hr_suds.xm"), (b"1", b"0", b"1", b"0"))
check("keys 1 and 0 mute channels 1 and 10 of a 16-channel song, again unmute them, as the status line shows",
      shown == ["mute 1", "mute 1 10", "mute 10", ""], shown)
shown = mutes(module, (b"8", b"9", b"0", b"8"))
check("keys 9 and 0 do nothing in an 8-channel song", shown == ["mute 8", "mute 8", "mute 8", ""], shown)

# A channel muted in a file stays muted in the next (the status line shows
# it there), and its key unmutes it there even where that song has fewer
# channels.
t = Terminal([os.path.join(corpus, "gemdropx--hr_suds.xm"), module, "--seconds", "2"],
             dict(os.environ, SDL_AUDIODRIVER="dummy"))
t.read(0.8)
t.send(b"0")
t.read(0.4)
muted = t.updates()[-1]
for _ in range(40):
    t.read(0.1)
    if t.updates()[-1].startswith("[2/2]"):
        break
carried = t.updates()[-1]
t.send(b"0")
t.read(0.4)
unmuted = t.updates()[-1]
t.send(b"q")
t.wait()
check("channel 10 muted in a 16-channel song: still muted in the next, an 8-channel one, and key 0 unmutes it there",
      muted.startswith("[1/2]") and "mute 10" in muted and carried.startswith("[2/2] VoR Theme") and
      "mute 10" in carried and unmuted.startswith("[2/2]") and "mute" not in unmuted, (muted, carried, unmuted))

# p goes back past a file that cannot be loaded to the one before it (not
# to the file it was pressed in again); n and the end go forward past it.
t = Terminal([two, os.path.join(tmp, "missing.xm"), module], dict(os.environ, SDL_AUDIODRIVER="dummy"))
t.read(2.0)
on_third = t.updates()[-1]
t.send(b"p")
t.read(0.6)
back = t.updates()[-1]
t.send(b"q")
code = t.wait()
check("p on the file after one that cannot be loaded plays the file before that one",
      code == 1 and on_third.startswith("[3/3] VoR Theme") and back.startswith("[1/3] seed")
      and t.text.count("missing.xm: cannot open") == 2, (code, on_third, back))

# Keys typed faster than play reads them act as typed one by one: those
# after n or p act on the file it leads to (two n go two files on; p, p and
# a seek go back two files and 10 s into the first).
t = Terminal([module, module, os.path.join(corpus, "njam-data--dali.xm"), module],
             dict(os.environ, SDL_AUDIODRIVER="dummy"))
t.read(1.0)
t.send(b"nn")
t.read(0.6)
two_on = t.updates()[-1]
t.send(b"pp\x1b[C")
t.read(0.6)
back = t.updates()[-1]
t.send(b"q")
code = t.wait()
check("keys typed at once: n n plays the third file; p p and a right arrow the first, 10 s in",
      code == 0 and two_on.startswith("[3/4] dali4") and back.startswith("[1/4] VoR Theme")
      and t.last_ms() >= 10000, (code, two_on, back))

# A mute in a file's last two seconds, where the ring holds the switch to
# the next file already, is heard in that file (it goes on anew from the
# frame heard), not only in the next one; the next file then follows as
# rendered. (Channel 2 of vor--mph.xm plays there; dali's is silent.)
capture = os.path.join(tmp, "late_mute.raw")
dali = os.path.join(corpus, "njam-data--dali.xm")
t = Terminal([module, dali, "--seconds", "3"], disk_env(capture))
t.read(1.8)
t.send(b"2")
code = t.wait(15)
heard, first, second = capture_of(capture), render(module, "--seconds", "3"), render(dali, "--seconds", "3")
c = first_sound(heard) - first_sound(first)
differs = next((i for i in range(len(first)) if heard[c + i] != first[i]), None)
after = last_sound(heard, 0, len(heard)) - last_sound(second, 0, len(second))
check("a mute in a file's last two seconds is heard in that file, the next file follows as rendered",
      code == 0 and differs is not None and RATE < differs // 2 < 3 * RATE and after >= c + differs and
      heard[after:after + len(second)] == second and not any(heard[after + len(second):]),
      (code, differs and differs // 2, after - c))

# Channels muted in one file stay muted in the files that follow, from
# their first frame on: a mute well before the end of the first file is
# heard in all of the second (pingpong16.xm with channel 1 muted: its
# channel 2 alone, as the stem of channel 2 renders it), though the second
# file was made ready to follow before the key was pressed.
subprocess.run([cli, "render", two, "-o", os.path.join(tmp, "stem.wav"), "--stems"], check=True, capture_output=True)
with wave.open(os.path.join(tmp, "stem-02.wav")) as w:
    stem = array.array("h", w.readframes(w.getnframes()))
capture = os.path.join(tmp, "carried_mute.raw")
t = Terminal([module, two, "--seconds", "4"], disk_env(capture))
t.read(1.0)
t.send(b"1")
code = t.wait(15)
heard = capture_of(capture)
follows = first_sound(heard) - first_sound(render(module, "--seconds", "4")) + 2 * 4 * RATE
check("a mute in the first file is heard in all of the next file, from its first frame",
      code == 0 and "mute 1" in t.updates()[-1] and heard[follows:follows + len(stem)] == stem and
      not any(heard[follows + len(stem):]), (code, next((i // 2 for i in range(len(stem))
                                                         if heard[follows + i] != stem[i]), None)))

# A key read once the next file is heard (the terminal held the program up
# with Ctrl-S over the switch) acts on that file: a mute is heard in it
# from there on and in the file after it, which the ring held already.
capture = os.path.join(tmp, "mute_after_switch.raw")
t = Terminal([module, two, two, "--seconds", "2"], disk_env(capture))
t.read(1.2)
t.send(b"\x13")
time.sleep(1.2)
t.send(b"1")
t.send(b"\x11")
code = t.wait(15)
heard, whole = capture_of(capture), render(two)
second = first_sound(heard) - first_sound(render(module, "--seconds", "2")) + 2 * 2 * RATE
third = second + len(whole)
muted_from = same_run(heard, second, whole, 0)
check("a mute read once the next file is heard: heard in it from there on, and in the file after it",
      code == 0 and 0 < muted_from < len(whole) and heard[second + muted_from:third] == stem[muted_from:] and
      heard[third:third + len(stem)] == stem and not any(heard[third + len(stem):]), (code, muted_from // 2))

# A file that follows from far into its song (--start) is heard with a
# mute carried over from its first frame on, right after the file before
# it: the block it starts in is mixed again from where that block began,
# not by a seek from the song's start (a song whose effects write into its
# samples, E5, keeps no keyframes), which would hold the stream up for
# longer than the ring lasts (the device would play old blocks again, and
# the play time, lost, would stand still for ever). drone.xm sounds in
# channel 2 alone, finetunes.xm in channel 1: muted, it is silence.
drone, finetunes = os.path.join(tmp, "drone.xm"), os.path.join(tmp, "finetunes.xm")
open(drone, "wb").write(make_seeds.header(2, 1, 1) + make_seeds.pattern(1, b"\x80\x9f\x31\x01\x40\x00\x00") +
                        make_seeds.instrument([[10, 20, -30, 5] * 8]))
cells = b"".join(bytes([0x9F, 0x31 + ch, 1, 0x40 if ch == 0 else 0x10] + ([0xE, 0x53] if row + ch == 0 else [4, 0x44]))
                 for row in range(2) for ch in range(8))
open(finetunes, "wb").write(make_seeds.header(8, 1, 1, tempo=1, bpm=255) + make_seeds.pattern(2, cells) +
                            make_seeds.instrument([[10, 20, -30, 5] * 8]))
far = ["--start", "43200", "--seconds", "4"]
capture = os.path.join(tmp, "far_mute.raw")
t = Terminal([drone, finetunes, "--loops", "0", *far], disk_env(capture))
for _ in range(600):
    t.read(0.1)
    if t.updates():
        break
t.send(b"1")
code = t.wait(60)
if code is None:
    os.kill(t.pid, signal.SIGKILL)  # held up: its play never ends
    os.waitpid(t.pid, 0)
heard = capture_of(capture)
follows = first_sound(heard) - first_sound(render(drone, *far)) + 2 * 4 * RATE
check("a mute heard in all of a file that follows from 12 hours into a song that writes into its samples",
      code == 0 and t.updates()[-1].startswith("[2/2]") and "mute 1" in t.updates()[-1] and
      len(heard) > follows and not any(heard[follows:]), (code, first_sound(heard, follows) // 2 - follows // 2))

subprocess.run(["rm", "-rf", tmp])
report.finish()
