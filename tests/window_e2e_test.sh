#!/usr/bin/env bash
# The real program under Xvfb with SDL's disk audio driver: click Load, type
# a corpus file's path into the open-file dialog, and check that the title
# says it plays (with the module's title) and that audio arrives at the
# (disk) sound device. Then the program started with a file, and with a file
# that cannot be played. And a sound server that dies without SDL saying so
# (a stand-in for SDL whose device stops taking frames and never opens
# again): one error box.
set -u
app="$1"
module="$2"
stand_in="$3"
title="$4"  # the module's title, which the title bar shows
tmp=$(mktemp -d)
# Xvfb picks a free display and writes its number to descriptor 3; it does
# not reset when its last client goes (the next program would find no display).
Xvfb -displayfd 3 -noreset -screen 0 800x600x24 -nolisten tcp 3> "$tmp/display" > /dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
display=":$(head -n 1 "$tmp/display")"
app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
  kill "$xvfb" 2>/dev/null
  wait "$xvfb" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
export DISPLAY="$display"
# The window remembers its settings: here, in the test's own folder.
export XDG_CONFIG_HOME="$tmp/config"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
. "$(dirname "$0")/checks.sh"
# This test stops at its first failure.
fail() {
  echo "0 passed, 1 failed: $1"
  exit 1
}
wait_for 10 xdotool getmouselocation || fail "Xvfb did not start"

SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$tmp/capture.raw" "$app" > "$tmp/app.log" 2>&1 &
app_pid=$!
wait_for 20 xdotool search --onlyvisible --name '^Zevora$' || fail "no window titled Zevora"
window=$(xdotool search --onlyvisible --name '^Zevora$' | head -1)

# The Load button; a window that is shown may not take clicks yet (a slow
# start, as under the sanitizers), so the click is made again while no
# dialog has come.
dialog() { xdotool search --onlyvisible --name . | grep -v -x "$window" | grep -q .; }
for _ in 1 2 3 4; do
  xdotool mousemove --window "$window" 15 15 click 1
  wait_for 5 dialog && break
done
dialog || fail "no open-file dialog"
sleep 0.5
xdotool type --delay 5 "$module"
xdotool key Return

title_plays() { [ "$(xdotool getwindowname "$window")" = "Playing $title" ]; }
wait_for 20 title_plays || fail "title is '$(xdotool getwindowname "$window")'"
# A second of sound at the (disk) device, however busy the machine.
sounding() {
  python3 - "$tmp/capture.raw" <<'PY'
import array, sys
data = open(sys.argv[1], 'rb').read()
pcm = array.array('h', data[:len(data) - len(data) % 4])  # (whole frames of a file still written)
sounding = sum(1 for i in range(0, len(pcm) - 1, 2) if pcm[i] or pcm[i + 1])
sys.exit(0 if sounding >= 44100 else 1)
PY
}
wait_for 20 sounding || fail "no audio reached the device"

# zevora FILE: plays at once, with the same title; a bad file gets the same
# error box as from the dialog.
kill "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null
SDL_AUDIODRIVER=dummy "$app" "$module" > "$tmp/app2.log" 2>&1 &
app_pid=$!
named_plays() { xdotool search --name "^Playing $title\$" > /dev/null; }
wait_for 20 named_plays || fail "zevora FILE: no window titled 'Playing $title'; windows: \
$(for w in $(xdotool search --name . 2>/dev/null); do xdotool getwindowname "$w"; done | tr '\n' '|'); log: $(cat "$tmp/app2.log")"
kill "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null
SDL_AUDIODRIVER=dummy "$app" "$tmp/no such file.xm" > "$tmp/app3.log" 2>&1 &
app_pid=$!
wait_for 20 xdotool search --name '^Error$' || fail "zevora BADFILE: no error box; windows: \
$(for w in $(xdotool search --name . 2>/dev/null); do xdotool getwindowname "$w"; done | tr '\n' '|'); log: $(cat "$tmp/app3.log"); \
running: $(kill -0 "$app_pid" 2>/dev/null && echo yes || echo no)"

kill "$app_pid" 2>/dev/null
wait "$app_pid" 2>/dev/null
ZEVORA_SDL_LIBRARY="$stand_in" STAND_IN_SDL_STALL_AFTER_MS=1000 "$app" "$module" > "$tmp/app4.log" 2>&1 &
app_pid=$!
wait_for 20 named_plays || fail "silent device: the file did not start; log: $(cat "$tmp/app4.log")"
wait_for 10 xdotool search --name '^Error$' || fail "silent device: no error box; log: $(cat "$tmp/app4.log")"
sleep 2.5
boxes=$(xdotool search --name '^Error$' | wc -l)
[ "$boxes" -eq 1 ] && xdotool search --name '^Zevora$' > /dev/null ||
  fail "silent device: $boxes error boxes, windows: $(for w in $(xdotool search --name . 2>/dev/null); do
    xdotool getwindowname "$w"; done | tr '\n' '|')"
echo "3 passed, 0 failed"
