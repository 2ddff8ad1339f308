#!/usr/bin/env bash
# The window as a player kept open, as the real program under Xvfb with
# SDL's disk audio driver: a two-song list with --repeat none is heard as the
# two songs' renders one after the other, bit for bit; the Right key seeks
# exactly 10 s on; zevora FILE... lists every file after the heard entry;
# the settings survive a SIGKILL and a damaged file gives defaults.
set -u
app="$1"
cli="$2"
corpus="$3"
seeds_script="$4"
tmp=$(mktemp -d)
Xvfb -displayfd 3 -noreset -screen 0 800x600x24 -nolisten tcp 3> "$tmp/display" > /dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
app_pid=""
stop_app() {
  if [ -n "$app_pid" ]; then
    kill "$app_pid" 2> /dev/null
    wait "$app_pid" 2> /dev/null
  fi
  app_pid=""
}
cleanup() {
  stop_app
  kill "$xvfb" 2> /dev/null
  wait "$xvfb" 2> /dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
export DISPLAY=":$(head -n 1 "$tmp/display")"
export XDG_CONFIG_HOME="$tmp/config"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
settings="$XDG_CONFIG_HOME/zevora/zevora.conf"
. "$(dirname "$0")/checks.sh"
titled() { xdotool search --name "^$1\$"; }
# Without a window manager a click makes the window active: on the time
# display, which does nothing with it. The key goes in through XTEST.
press() {
  xdotool mousemove --window "$1" 230 15 click 1
  sleep 0.3
  xdotool key "$2"
}
wait_for 10 xdotool getmouselocation || {
  echo "0 passed, 1 failed: Xvfb did not start"
  exit 1
}
python3 "$seeds_script" "$tmp/seeds" || exit 1
a="$tmp/seeds/effects.xm"
b="$tmp/seeds/pingpong16.xm"

# A list of two songs, each one pass: the capture is both renders, bit for
# bit, and the window stops after the last.
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$tmp/list.raw" "$app" --repeat none "$a" "$b" > "$tmp/app1.log" 2>&1 &
app_pid=$!
# (Qt's hidden leader window is named after the program too: the window
# whose title said it played is the one watched.)
named() { [ "$(xdotool getwindowname "$1")" = "$2" ]; }
if wait_for 20 titled "Playing seed" && window=$(titled "Playing seed" | head -1) && wait_for 20 named "$window" Zevora; then
  sleep 0.5
  stop_app
  "$cli" render "$a" -o "$tmp/a.wav" > /dev/null && "$cli" render "$b" -o "$tmp/b.wav" > /dev/null || exit 1
  if python3 - "$tmp/list.raw" "$tmp/a.wav" "$tmp/b.wav" << 'PY'; then pass; else fail "gapless list: the capture is not the two renders"; fi
import sys
capture = open(sys.argv[1], 'rb').read()
want = b''.join(open(f, 'rb').read()[44:] for f in sys.argv[2:])
def first_sound(pcm):
    return next(i for i in range(0, len(pcm), 4) if pcm[i:i + 4] != b'\0\0\0\0')
c, w = first_sound(capture), first_sound(want)
ok = capture[c:c + len(want) - w] == want[w:] and not any(capture[c + len(want) - w:])
print("list: %d frames heard, %d wanted" % ((len(capture) - c) // 4, (len(want) - w) // 4))
sys.exit(0 if ok else 1)
PY
else
  fail "gapless list: titles were not 'Playing seed' then 'Zevora' (log: $(cat "$tmp/app1.log"))"
fi
stop_app
grep -q '^endMode=none$' "$settings" && pass || fail "--repeat none is not remembered: $(cat "$settings")"

# Right: exactly 10 s on from the frame heard. The capture is the render up
# to some frame h, then (after a moment of silence while the ring is filled
# again: a device buffer or so, up to 0.5 s on a machine busy with other
# work) the render from h + 441,000: the silence moves the song on by
# nothing.
module="$corpus/vor--mph.xm"
rm -f "$settings"
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$tmp/seek.raw" "$app" "$module" > "$tmp/app2.log" 2>&1 &
app_pid=$!
if wait_for 20 titled "Playing VoR Theme"; then
  window=$(titled "Playing VoR Theme" | head -1)
  sleep 2.5
  press "$window" Right
  sleep 2.5
  stop_app
  "$cli" render "$module" -o "$tmp/vor.wav" --seconds 30 > /dev/null || exit 1
  if python3 - "$tmp/seek.raw" "$tmp/vor.wav" << 'PY'; then pass; else fail "Right did not seek exactly 10 s on"; fi
import sys
capture = open(sys.argv[1], 'rb').read()
render = open(sys.argv[2], 'rb').read()[44:]
def first_sound(pcm, at=0):
    return next(i for i in range(at, len(pcm), 4) if pcm[i:i + 4] != b'\0\0\0\0')
c, r = first_sound(capture), first_sound(render)
capture, render = capture[c:], render[r:]
mismatch = next(i for i in range(0, len(capture), 4) if capture[i:i + 4] != render[i:i + 4])
step = 441000 * 4
for h in range(mismatch, max(0, mismatch - 44100 * 4), -4):
    after = first_sound(capture, h)
    if after - h > 22050 * 4:
        continue
    rest = capture[after:]
    if len(rest) > 44100 * 4 and rest == render[h + step:][:len(rest)]:
        print("seek at frame %d, %d frames heard after it (%d of silence)" % (h // 4, len(rest) // 4, (after - h) // 4))
        sys.exit(0)
print("no exact seek found; first difference at frame %d" % (mismatch // 4))
sys.exit(1)
PY
else
  fail "zevora FILE: no window 'Playing VoR Theme' (log: $(cat "$tmp/app2.log"))"
fi
stop_app

# zevora FILE...: the first plays, all go into the list after the heard
# entry; remembered even through SIGKILL, and not played at the next start.
# After --, a file named like one of Qt's own options is a file too.
rm -f "$settings"
one="$corpus/vodovod--walk.xm"
two="$tmp/-reverse"
cp "$corpus/njam-data--dali.xm" "$two"
three="$corpus/solarwolf--arg.xm"
(cd "$tmp" && SDL_AUDIODRIVER=dummy exec "$app" --repeat list -- "$one" -reverse) > "$tmp/app3.log" 2>&1 &
app_pid=$!
wait_for 20 titled "Playing vodovod--walk.xm" || fail "zevora FILE FILE: title is not the first file's name"
stop_app
SDL_AUDIODRIVER=dummy "$app" "$three" > "$tmp/app4.log" 2>&1 &
app_pid=$!
wait_for 20 titled "Playing argggggg" || fail "zevora FILE: title is not the module's"
window=$(titled "Playing argggggg" | head -1)
press "$window" Down  # volume to 95 %
wait_for 5 grep -q '^volume=95000$' "$settings" || fail "the volume was not written when it changed"
kill -KILL "$app_pid"
wait "$app_pid" 2> /dev/null
app_pid=""
python3 - "$settings" "$one" "$three" "$two" << 'PY' && pass || fail "list after zevora FILE: $(cat "$settings")"
import re, sys
sections, section = {}, None
for line in open(sys.argv[1], encoding='utf-8').read().splitlines():
    m = re.match(r'^\[(.*)\]$', line)
    if m:
        section = m.group(1)
    elif '=' in line:
        key, value = line.split('=', 1)
        sections.setdefault(section, {})[key] = value
general, listed = sections.get('General', {}), sections.get('list', {})
paths = [listed.get('%d\\path' % (i + 1)) for i in range(int(listed.get('size', 0)))]
ok = paths == ['@ByteArray(%s)' % p for p in sys.argv[2:]]
ok = ok and general.get('heardEntry') == '1' and general.get('endMode') == 'list' and general.get('volume') == '95000'
sys.exit(0 if ok else 1)
PY
SDL_AUDIODRIVER=dummy "$app" > "$tmp/app5.log" 2>&1 &
app_pid=$!
if wait_for 20 xdotool search --name '^Zevora$'; then
  sleep 1
  xdotool search --name '^Playing' > /dev/null && fail "the remembered heard entry started by itself" || pass
else
  fail "no window after a restart with remembered settings"
fi
stop_app

# A damaged settings file: the window starts and plays; the file is kept
# beside.
printf '\0\377[General\nvolume=\377\n' > "$settings"
SDL_AUDIODRIVER=dummy "$app" "$one" > "$tmp/app6.log" 2>&1 &
app_pid=$!
if wait_for 20 titled "Playing vodovod--walk.xm" && cmp -s "$settings.damaged" <(printf '\0\377[General\nvolume=\377\n') &&
  grep -q '^size=1$' "$settings"; then
  pass
else
  fail "a damaged settings file: $(cat "$tmp/app6.log")"
fi
stop_app

# A bad --repeat is refused with a message.
"$app" --repeat sometimes "$one" > "$tmp/out" 2> "$tmp/err"
if [ $? -eq 2 ] && grep -q "song, list or none" "$tmp/err"; then pass; else fail "--repeat sometimes: $(cat "$tmp/err")"; fi

finish
