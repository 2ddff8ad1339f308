#!/usr/bin/env python3
"""zevora-cli play as people use it, through SDL's disk audio driver: a list
of two files (each pass exact, a short gap, silence at the end, the
program ends by itself), and on a pseudo-terminal the keys (pause holds the
play time; a forward seek gives exactly the frames of a render from that
point; q quits) and a terminal restored after SIGTERM."""
import array
import os
import pty
import re
import select
import signal
import subprocess
import sys
import tempfile
import termios
import time
import wave

from report import Report

cli, corpus, seeds_script = sys.argv[1], sys.argv[2], sys.argv[3]
tmp = tempfile.mkdtemp()
report = Report()
check = report.check


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


def disk_env(capture):
    return dict(os.environ, SDL_AUDIODRIVER="disk", SDL_DISKAUDIOFILE=capture)


subprocess.run([sys.executable, seeds_script, tmp], check=True)
one, two = os.path.join(tmp, "effects.xm"), os.path.join(tmp, "pingpong16.xm")

# A list of two files: each pass exact, a gap under 0.5 s, then silence.
capture = os.path.join(tmp, "list.raw")
start = time.time()
r = subprocess.run([cli, "play", one, two], env=disk_env(capture), capture_output=True, timeout=60)
took = time.time() - start
a, b = render(one), render(two)
heard = array.array("h", open(capture, "rb").read())
ca, ra = first_sound(heard), first_sound(a)
end_a = ca - ra + len(a)
ok = r.returncode == 0 and heard[ca:end_a] == a[ra:]
check("first file's pass heard exactly", ok, (r.returncode, r.stderr, len(heard), end_a))
cb, rb = first_sound(heard, end_a), first_sound(b)
start_b = cb - rb
check("second file follows within 0.5 s", ok and 0 <= start_b - end_a < 2 * 22050, (start_b - end_a) / 88200)
check("second file's pass heard exactly, then silence",
      heard[start_b:start_b + len(b)] == b and not any(heard[start_b + len(b):]), len(heard) - start_b - len(b))
check("the program ends by itself", took < (len(a) + len(b)) / 88200 + 5, took)

r = subprocess.run([cli, "play", one, os.path.join(tmp, "missing.xm"), two], env=dict(os.environ,
                   SDL_AUDIODRIVER="dummy"), capture_output=True, timeout=60)
check("a file that cannot be loaded is skipped, exit code 1",
      r.returncode == 1 and r.stderr.count(b"\n") == 1 and b"missing.xm" in r.stderr, r.stderr)


class Terminal:
    """zevora-cli play on a pseudo-terminal."""

    def __init__(self, args, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.execve(cli, [cli, "play", *args], env)
        self.text = ""

    def read(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            if select.select([self.fd], [], [], 0.05)[0]:
                try:
                    self.text += os.read(self.fd, 4096).decode("utf-8", "replace")
                except OSError:
                    break

    def times(self):
        return re.findall(r"(\d+):(\d\d)\.(\d\d\d) / ", self.text)

    def last_ms(self):
        m, s, ms = self.times()[-1]
        return (int(m) * 60 + int(s)) * 1000 + int(ms)

    def wait(self, seconds=10):
        end = time.time() + seconds
        while time.time() < end:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                return os.waitstatus_to_exitcode(status)
            self.read(0.1)
        os.kill(self.pid, signal.SIGKILL)
        return None


module = os.path.join(corpus, "vor--mph.xm")
capture = os.path.join(tmp, "keys.raw")
t = Terminal([module], disk_env(capture))
t.read(1.5)
check("a status line on the terminal", "[1/1] VoR Theme" in t.text and "ord" in t.text and "row" in t.text,
      t.text[-200:])
os.write(t.fd, b" ")
t.read(0.5)
held = t.last_ms()
t.read(1.0)
check("pause holds the play time", t.last_ms() == held and "[paused]" in t.text, (held, t.last_ms()))
os.write(t.fd, b" ")
t.read(0.5)
os.write(t.fd, b"\x1b[C")
t.read(1.5)
after = t.last_ms()
check("right arrow seeks 10 s on", after >= held + 10000, (held, after))
os.write(t.fd, b"q")
code = t.wait()
check("q quits", code == 0, code)
# What was heard after the seek is a stretch of the whole render, to the frame.
heard = array.array("h", open(capture, "rb").read())
whole = render(module)
probe_at = len(heard) - 2 * 22050  # a quarter of a second before the end of the capture
probe = heard[probe_at:probe_at + 2 * 4410]
found = -1
if any(probe):
    raw, needle = whole.tobytes(), probe.tobytes()
    pos = raw.find(needle)
    while pos >= 0 and pos % 4:
        pos = raw.find(needle, pos + 1)
    found = pos // 2 if pos >= 0 else -1
ok = found >= 2 * 44100 * 10
if ok:
    # From where the audio after the seek began to the end of the capture,
    # every frame matches: at least half of the time between the seek and q.
    back = 0
    while probe_at - back > 0 and found - back > 0 and heard[probe_at - back - 1] == whole[found - back - 1]:
        back += 1
    tail = len(heard) - probe_at
    ok = back >= 44100 and heard[probe_at:] == whole[found:found + tail]
check("audio after a seek is the render from that point", ok,
      (found / 88200 if found >= 0 else None, back / 88200 if found >= 0 else None, len(heard) - probe_at))

t = Terminal([module, "--loops", "0"], dict(os.environ, SDL_AUDIODRIVER="dummy"))
t.read(1.0)
os.kill(t.pid, signal.SIGTERM)
code = t.wait()
attrs = termios.tcgetattr(t.fd)
check("the terminal is restored after SIGTERM", code == 0 and attrs[3] & termios.ECHO and attrs[3] & termios.ICANON,
      (code, attrs[3]))

subprocess.run(["rm", "-rf", tmp])
report.finish()
