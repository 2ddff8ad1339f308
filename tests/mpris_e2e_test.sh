#!/usr/bin/env bash
# The real program on a session bus of the test's own (run under
# dbus-run-session), under Xvfb with SDL's disk audio driver, driven by real
# clients: playerctl and gdbus, with dbus-monitor watching the signals.
# Metadata and length, play/pause/next/previous/stop, `position 30` (what is
# heard from there is the render from frame 1,323,000, bit for bit), loop
# status and volume both ways, PropertiesChanged and Seeked; then one
# window: a second `zevora FILE` hands the file to the open window and
# exits 0, `--new-window` opens another (which takes the files once the
# first is gone), and without a bus each start has its own window and
# nothing is said.
set -u
app="$1"
cli="$2"
corpus="$3"
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || {
  echo "0 passed, 1 failed: no session bus (run under dbus-run-session)"
  exit 1
}
tmp=$(mktemp -d)
Xvfb -displayfd 3 -noreset -screen 0 800x600x24 -nolisten tcp 3> "$tmp/display" > /dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
pids=()
monitor=""
stop() {
  local pid
  for pid in "$@"; do
    kill "$pid" 2> /dev/null
    wait "$pid" 2> /dev/null
  done
}
cleanup() {
  stop "${pids[@]}" $monitor
  kill "$xvfb" 2> /dev/null
  wait "$xvfb" 2> /dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
export DISPLAY=":$(head -n 1 "$tmp/display")"
export XDG_CONFIG_HOME="$tmp/config"
# A desktop session's own folder (without it Qt says it has none).
export XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
settings="$XDG_CONFIG_HOME/zevora/zevora.conf"
. "$(dirname "$0")/checks.sh"
pc() { playerctl -p zevora "$@" 2>&1; }
is() { [ "$(pc "${@:2}")" = "$1" ]; }
setting() { grep -qx "$1" "$settings"; }
# What a program printed, but for the disk driver's own notice.
said() { grep -hv -e '^CRITICAL: You are using the SDL disk i/o audio driver!$' -e '^CRITICAL:  Writing to file ' "$@"; }
# (A child that has ended is a zombie until it is waited for.)
gone() { ! kill -0 "$1" 2> /dev/null || ps -o stat= -p "$1" | grep -q '^Z'; }
props() {
  gdbus call --session --dest org.mpris.MediaPlayer2.zevora --object-path /org/mpris/MediaPlayer2 \
    --method org.freedesktop.DBus.Properties."$@"
}
press() {
  xdotool mousemove --window "$1" 230 15 click 1
  sleep 0.3
  xdotool key "$2"
}
wait_for 10 xdotool getmouselocation || {
  echo "0 passed, 1 failed: Xvfb did not start"
  exit 1
}

mario="$corpus/bomberclone-data--mario_is_a_weenie.xm"
arg="$corpus/solarwolf--arg.xm"
"$cli" info --json "$mario" > "$tmp/mario.json" || exit 1

# Every signal the window's object sends.
dbus-monitor --session "type='signal',path='/org/mpris/MediaPlayer2'" > "$tmp/monitor.txt" 2>&1 &
monitor=$!
sleep 0.5

SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$tmp/capture.raw" "$app" --repeat none "$mario" "$arg" > "$tmp/app.log" 2>&1 &
first=$!
pids+=("$first")
if ! wait_for 20 is Playing status; then
  echo "0 passed, 1 failed: no player zevora playing: $(playerctl -l 2>&1) $(pc status); log: $(cat "$tmp/app.log")"
  exit 1
fi
window=$(xdotool search --pid "$first" --name '^Playing ' | head -1)

# Metadata: the entry's track id, the exact one-pass length, title, URL and
# the instrument names.
pc metadata > "$tmp/metadata.txt"
python3 - "$tmp/metadata.txt" "$tmp/mario.json" "$mario" << 'PY' && pass || fail "metadata: $(cat "$tmp/metadata.txt")"
import json, sys, urllib.parse
rows = {}
for line in open(sys.argv[1]).read().splitlines():
    player, key, value = (line.split(None, 2) + [''])[:3]
    rows.setdefault(key, []).append(value)
info = json.load(open(sys.argv[2]))
# The instrument names (the message the composer wrote in them), without
# the unused ones after the last.
names = [i['name'] for i in info['instruments']]
while names and not names[-1]:
    names.pop()
want = {
    'mpris:trackid': ["'/io/github/zevora/Zevora/Entry/1'"],
    'mpris:length': [str(info['durationFrames'] * 1000000 // 44100)],
    'xesam:title': ['Mario is a Weenie'],
    'xesam:url': ['file://' + urllib.parse.quote(sys.argv[3])],
    'xesam:comment': names,
}
if rows != want:
    print(rows, want)
sys.exit(0 if rows == want else 1)
PY

# position 30, while playing: what is heard from there is the render from
# frame 1,323,000. Paused, the position stands still and is exact. (Timed
# by the frames the disk device has taken, which on a busy machine come
# later than the clock says.)
captured() { echo $(($(stat -c %s "$tmp/capture.raw" 2> /dev/null || echo 0) / 4)); }
at_least() { [ "$(captured)" -ge "$1" ]; }
wait_for 30 at_least $((2 * 44100))
seek_at=$(captured)
pc position 30
wait_for 30 at_least $((seek_at + 5 * 22050))
pc pause
check "pause" wait_for 5 is Paused status
p1=$(pc position)
sleep 0.5
check "paused, the position stands still ($p1, then $(pc position))" [ "$(pc position)" = "$p1" ]
pc position 30
check "position 30 while paused reads back exactly: $(pc position)" is 30.000000 position
"$cli" render "$mario" -o "$tmp/mario.wav" --seconds 40 > /dev/null || exit 1
python3 - "$tmp/capture.raw" "$tmp/mario.wav" << 'PY' && pass || fail "position 30: the capture is not the render from 30 s"
import sys
capture = open(sys.argv[1], 'rb').read()
render = open(sys.argv[2], 'rb').read()[44:]
def first_sound(pcm, at=0):
    return next(i for i in range(at, len(pcm), 4) if pcm[i:i + 4] != b'\0\0\0\0')
c, r = first_sound(capture), first_sound(render)
mismatch = next(i for i in range(0, len(capture) - c, 4) if capture[c + i:c + i + 4] != render[r + i:r + i + 4])
h = c + mismatch  # where the seek was heard
after = first_sound(capture, h)
target = 1323000 * 4
t = first_sound(render, target)
span = 2 * 44100 * 4
ok = mismatch >= 44100 * 4 and after - h <= 11025 * 4 and capture[after:after + span] == render[t:t + span]
print("seek heard at capture frame %d (%d frames into the song), %d frames of silence, then %s" % (
    h // 4, mismatch // 4, (after - h) // 4, "the render from 30 s" if ok else "something else"))
sys.exit(0 if ok else 1)
PY

# The controls.
pc play
check "play" wait_for 5 is Playing status
pc play-pause
check "play-pause pauses" wait_for 5 is Paused status
pc play-pause
check "play-pause plays" wait_for 5 is Playing status
pc next
check "next: the second file's title" wait_for 5 is argggggg metadata xesam:title
check "next: the window's title" wait_for 5 sh -c "[ \"\$(xdotool getwindowname $window)\" = 'Playing argggggg' ]"
pc previous
check "previous: the first file again" wait_for 5 is "Mario is a Weenie" metadata xesam:title
pc stop
check "stop" wait_for 5 is Stopped status
check "stopped: the window's title" wait_for 5 sh -c "[ \"\$(xdotool getwindowname $window)\" = Zevora ]"
pc play
check "play after stop" wait_for 5 is Playing status

# Loop status both ways (the window writes its settings at once).
check "--repeat none is loop None" is None loop
pc loop Playlist
check "loop Playlist: repeat list" wait_for 5 setting endMode=list
pc loop Track
check "loop Track: repeat song" wait_for 5 setting endMode=song
press "$window" r
check "the window's song end button (R): loop None" wait_for 5 is None loop
# Volume both ways.
pc volume 0.5
check "volume 0.5: the slider at 50 %" wait_for 5 setting volume=50000
press "$window" Down
check "the window's Down key: volume 0.45" wait_for 5 is 0.450000 volume
# A jump from the keys.
press "$window" Right
sleep 0.5
# An unknown loop status changes nothing.
props Set org.mpris.MediaPlayer2.Player LoopStatus "<'Shuffle'>" > /dev/null 2>&1
check "LoopStatus Shuffle changes nothing" is None loop
props Get org.mpris.MediaPlayer2 Identity > "$tmp/identity.txt"
check "Identity: $(cat "$tmp/identity.txt")" grep -qx "(<'Zevora'>,)" "$tmp/identity.txt"
sleep 0.5

# What the monitor saw: each change told, no position in PropertiesChanged,
# and a Seeked after each jump.
python3 - "$tmp/monitor.txt" << 'PY' && pass || fail "signals: $(head -c 3000 "$tmp/monitor.txt")"
import re, sys
text = open(sys.argv[1]).read()
blocks = re.split(r'\n(?=signal )', text)
changed = [b for b in blocks if 'member=PropertiesChanged' in b]
seeked = [int(re.search(r'int64 (-?\d+)', b).group(1)) for b in blocks if 'member=Seeked' in b]
def told(name, value):
    pattern = r'string "%s"\s+variant\s+%s' % (re.escape(name), value)
    return any(re.search(pattern, b) for b in changed)
wanted = {
    'Paused': told('PlaybackStatus', r'string "Paused"'),
    'Stopped': told('PlaybackStatus', r'string "Stopped"'),
    'Playing': told('PlaybackStatus', r'string "Playing"'),
    'Playlist': told('LoopStatus', r'string "Playlist"'),
    'Track': told('LoopStatus', r'string "Track"'),
    'None': told('LoopStatus', r'string "None"'),
    'Volume 0.5': told('Volume', r'double 0\.5\b'),
    'Volume 0.45': told('Volume', r'double 0\.45\b'),
    'Metadata': told('Metadata', r'array \[') and 'argggggg' in text,
    'no Position': not any('"Position"' in b for b in changed),
    # position 30 twice; the Right key (10 s on, from wherever it was).
    'Seeked': seeked[:2] == [30000000, 30000000] and len(seeked) == 3,
}
print({k: v for k, v in wanted.items() if not v}, seeked)
sys.exit(0 if all(wanted.values()) else 1)
PY

# One window: a second start with a file (named relative to its own
# folder) hands it over and ends; it joins the list after the heard entry
# and plays at once.
mkdir -p "$tmp/elsewhere"
cp "$corpus/flobopuyo--flobopuyo_menu.xm" "$tmp/elsewhere/handed over.xm"
(cd "$tmp/elsewhere" && SDL_AUDIODRIVER=dummy timeout 20 "$app" "handed over.xm" > "$tmp/second.log" 2>&1)
status=$?
check "a second zevora FILE exits 0 and says nothing (status $status: $(cat "$tmp/second.log"))" \
  [ "$status" -eq 0 -a -z "$(said "$tmp/second.log")" ]
check "the handed-over file plays in the first window" wait_for 5 is "handed over.xm" metadata xesam:title
check "its URL" is "file://$tmp/elsewhere/handed%20over.xm" metadata xesam:url
check "the first window shows it" wait_for 5 sh -c "[ \"\$(xdotool getwindowname $window)\" = 'Playing handed over.xm' ]"
check "it joined the list after the heard entry" wait_for 5 python3 - "$settings" "$mario" "$tmp/elsewhere/handed over.xm" "$arg" << 'PY'
import sys
lines = open(sys.argv[1], encoding='utf-8').read().splitlines()
paths = [l.split('=', 1)[1] for l in lines if l.endswith('.xm)') and '\\path=' in l]
sys.exit(0 if paths == ['@ByteArray(%s)' % p for p in sys.argv[2:]] else 1)
PY

# --new-window: another window, served as an instance of its own. Its file
# is named relative to its folder: the list (kept for the next start, from
# wherever) and the URL hold it from the root.
(cd "$(dirname "$arg")" && SDL_AUDIODRIVER=dummy exec "$app" --new-window "./$(basename "$arg")") > "$tmp/new.log" 2>&1 &
second=$!
pids+=("$second")
check "--new-window: a window of its own" wait_for 20 xdotool search --pid "$second" --name '^Playing argggggg$'
check "--new-window: served as zevora.instance$second" wait_for 5 sh -c "playerctl -l | grep -qx zevora.instance$second"
check "--new-window: its metadata" is argggggg -p "zevora.instance$second" metadata xesam:title
check "--new-window: its file from the root: $(pc -p "zevora.instance$second" metadata xesam:url)" \
  is "file://$(cd "$(dirname "$arg")" && pwd -P)/$(basename "$arg")" -p "zevora.instance$second" metadata xesam:url
check "--new-window: the first window plays on" is "handed over.xm" metadata xesam:title

# No bus: each start has its own window, and nothing is said.
for n in 1 2; do
  DBUS_SESSION_BUS_ADDRESS="unix:path=$tmp/no-bus-here" SDL_AUDIODRIVER=dummy "$app" "$mario" > "$tmp/nobus$n.log" 2>&1 &
  eval "nobus$n=$!"
  pids+=("$!")
done
check "no bus: the first start's window" wait_for 20 xdotool search --pid "$nobus1" --name '^Playing Mario is a Weenie$'
check "no bus: the second start's window" wait_for 20 xdotool search --pid "$nobus2" --name '^Playing Mario is a Weenie$'
check "no bus: nothing said ($(cat "$tmp/nobus1.log" "$tmp/nobus2.log"))" [ -z "$(said "$tmp"/nobus?.log)" ]
check "no bus: the bus's window was not given them" is "handed over.xm" metadata xesam:title
stop "$nobus1" "$nobus2"

# Files that cannot be played, handed over one after another while the
# first one's error box waits for its OK: that one box says it (a box more
# for each, on top of it, would nest an event loop more each, until the
# stack runs out).
printf 'not a module' > "$tmp/elsewhere/text.xm"
for _ in 1 2 3; do
  (cd "$tmp/elsewhere" && SDL_AUDIODRIVER=dummy timeout 20 "$app" text.xm > /dev/null 2>&1)
done
check "an unplayable file handed over: an error box" wait_for 5 xdotool search --name '^Error$'
sleep 1
boxes=$(xdotool search --name '^Error$' | wc -l)
check "three unplayable files handed over: one error box ($boxes)" [ "$boxes" -eq 1 ]
press "$(xdotool search --name '^Error$' | head -1)" Return
check "the box goes with its OK" wait_for 5 sh -c "! xdotool search --name '^Error\$'"

# Quit from the bus ends the program.
pc metadata > "$tmp/metadata-final.txt"
gdbus call --session --dest org.mpris.MediaPlayer2.zevora --object-path /org/mpris/MediaPlayer2 \
  --method org.mpris.MediaPlayer2.Quit > /dev/null
check "Quit ends the program" wait_for 10 gone "$first"
check "the first window said nothing ($(cat "$tmp/app.log"))" [ -z "$(said "$tmp/app.log")" ]

# With the first window gone, the one opened beside it takes the files.
(cd "$tmp/elsewhere" && SDL_AUDIODRIVER=dummy timeout 20 "$app" "handed over.xm" > "$tmp/third.log" 2>&1)
status=$?
check "then zevora FILE exits 0 (status $status: $(cat "$tmp/third.log"))" [ "$status" -eq 0 ]
check "and its file plays in the window that was beside the first" \
  wait_for 5 is "handed over.xm" -p "zevora.instance$second" metadata xesam:title
stop "$second"

# Quit from the bus while the error box for the file the program was
# started with waits for its OK (before the window's event loop has run):
# the box's OK ends the program, which does not go on without a window.
SDL_AUDIODRIVER=dummy "$app" "$tmp/elsewhere/text.xm" > "$tmp/boxed.log" 2>&1 &
boxed=$!
pids+=("$boxed")
check "zevora BADFILE: an error box" wait_for 20 xdotool search --pid "$boxed" --name '^Error$'
gdbus call --session --dest org.mpris.MediaPlayer2.zevora --object-path /org/mpris/MediaPlayer2 \
  --method org.mpris.MediaPlayer2.Quit > /dev/null
press "$(xdotool search --pid "$boxed" --name '^Error$' | head -1)" Return
check "Quit while that box waited: its OK ends the program" wait_for 10 gone "$boxed"

finish
