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
. bench/window_measure.sh
start_xvfb 1024x768x24
printf "[General]\nlistOpen=${ZEVORA_LIST_OPEN:-true}\n" > "$XDG_CONFIG_HOME/zevora/zevora.conf"
others=()
for f in ../shared/corpus/*.xm; do [ "$f" -ef "$first" ] || others+=("$f"); done
# (--new-window: a window of its own, not one open on the desktop.)
SDL_AUDIODRIVER=dummy build/app/zevora --new-window --repeat list "$first" "${others[@]}" > "$tmp/log" 2>&1 &
pid=$!
sleep 5
thread_cpu "$seconds"
title=$(xdotool search --name '^Playing' getwindowname 2> /dev/null | head -1 || true)
echo "window: ${title:-none playing}"
