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
pid=""
xvfb=""
trap '[ -n "$pid" ] && kill "$pid" 2> /dev/null; [ -n "$xvfb" ] && kill "$xvfb" 2> /dev/null; rm -rf "$tmp"' EXIT
python3 bench/widen_channels.py ../shared/corpus "$tmp/wide" > /dev/null
channels=$(build/tools/zevora-cli info "$tmp/wide/$module" | awk '/^Channels:/ { print $2 }')
Xvfb -displayfd 3 -noreset -screen 0 1280x1024x24 -nolisten tcp 3> "$tmp/display" > /dev/null 2>&1 &
xvfb=$!
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$tmp/display")"
export XDG_CONFIG_HOME="$tmp/config"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
mkdir -p "$XDG_CONFIG_HOME/zevora"
# The view at 1260 x 700: the rows of eight channels, the others scrolled
# sideways.
printf '[General]\npatternOpen=%s\npatternGeometry=@Rect(10 200 1260 700)\n' "${ZEVORA_PATTERN_VIEW:-true}" \
  > "$XDG_CONFIG_HOME/zevora/zevora.conf"
# (--new-window: a window of its own, not one open on the desktop.)
SDL_AUDIODRIVER=dummy build/app/zevora --new-window "$tmp/wide/$module" > "$tmp/log" 2>&1 &
pid=$!
sleep 5
# One line per thread: id, name, nanoseconds run.
snapshot() {
  for task in /proc/$pid/task/*; do
    read -r comm < "$task/comm"
    read -r ns _ < "$task/schedstat"
    echo "${task##*/} $comm $ns"
  done
}
snapshot > "$tmp/before"
sleep "$seconds"
snapshot > "$tmp/after"
awk -v s="$seconds" '
  NR == FNR { before[$1] = $3; next }
  {
    ns = $3 - before[$1]
    total += ns
    printf "%-16s %7.3f s CPU  %6.3f%% of one core\n", $2, ns / 1e9, 100 * ns / 1e9 / s
  }
  END { printf "%-16s %7.3f s CPU  %6.3f%% of one core\n", "all threads", total / 1e9, 100 * total / 1e9 / s }
' "$tmp/before" "$tmp/after"
view=$(xdotool search --name '^Pattern' getwindowname 2> /dev/null | head -1 || true)
echo "module: $module ($channels channels); view: ${view:-closed}"
