#!/usr/bin/env bash
# CPU used by the window while it plays under Xvfb with the seek row and the
# list shown (a list of every corpus module, the first playing, through
# SDL's dummy driver): each thread's share of one core and all of them
# together, read from /proc (schedstat, in nanoseconds) over SECONDS of
# playing. The start (Qt, fonts, reading the list) is left out: the count
# begins 5 s after the start.
#
#   bench/window_cpu.sh [SECONDS] [FIRST_MODULE]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
first=${2:-../shared/corpus/gemdropx--hr_suds.xm}
tmp=$(mktemp -d)
Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3> "$tmp/display" > /dev/null 2>&1 &
xvfb=$!
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2> /dev/null; kill "$xvfb" 2> /dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
export DISPLAY=":$(head -n 1 "$tmp/display")"
export XDG_CONFIG_HOME="$tmp/config"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
mkdir -p "$XDG_CONFIG_HOME/zevora"
printf "[General]\nlistOpen=${ZEVORA_LIST_OPEN:-true}\n" > "$XDG_CONFIG_HOME/zevora/zevora.conf"
others=()
for f in ../shared/corpus/*.xm; do [ "$f" -ef "$first" ] || others+=("$f"); done
# (--new-window: a window of its own, not one open on the desktop.)
SDL_AUDIODRIVER=dummy build/app/zevora --new-window --repeat list "$first" "${others[@]}" > "$tmp/log" 2>&1 &
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
title=$(xdotool search --name '^Playing' getwindowname 2> /dev/null | head -1 || true)
echo "window: ${title:-none playing}"
