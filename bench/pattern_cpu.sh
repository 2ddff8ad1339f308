#!/usr/bin/env bash
# CPU used by the window while it plays a 32-channel module under Xvfb with
# the pattern view open (its timer redraws rows, scopes and level bars 60
# times a second), through SDL's dummy driver: each thread's share of one
# core and all of them together, read from /proc (schedstat, in
# nanoseconds) over SECONDS of playing, the start left out (the count begins
# 5 s after it). ZEVORA_PATTERN_VIEW=false measures the same with the view
# closed. The module is a corpus module widened to 32 channels by
# bench/widen_channels.py (every note played four times).
#
#   bench/pattern_cpu.sh [SECONDS] [MODULE]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
module=${2:-gemdropx--hr_suds.xm}
tmp=$(mktemp -d)
. bench/window_measure.sh
python3 bench/widen_channels.py ../shared/corpus "$tmp/wide" > /dev/null
channels=$(build/tools/zevora-cli info "$tmp/wide/$module" | awk '/^Channels:/ { print $2 }')
start_xvfb 1280x1024x24
# The view at 1260 x 700: the rows of eight channels, the others scrolled
# sideways.
printf '[General]\npatternOpen=%s\npatternGeometry=@Rect(10 200 1260 700)\n' "${ZEVORA_PATTERN_VIEW:-true}" \
  > "$XDG_CONFIG_HOME/zevora/zevora.conf"
# (--new-window: a window of its own, not one open on the desktop.)
SDL_AUDIODRIVER=dummy build/app/zevora --new-window "$tmp/wide/$module" > "$tmp/log" 2>&1 &
pid=$!
sleep 5
thread_cpu "$seconds"
view=$(xdotool search --name '^Pattern' getwindowname 2> /dev/null | head -1 || true)
echo "module: $module ($channels channels); view: ${view:-closed}"
