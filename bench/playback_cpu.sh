#!/usr/bin/env bash
# CPU used while zevora-cli plays a module for 60 s through SDL's dummy
# driver: each thread's share of one core, read from /proc just before the
# end (the streaming thread is "zevora-stream"; SDL names its audio thread).
set -euo pipefail
cd "$(dirname "$0")/.."
module=${1:-../shared/corpus/flobopuyo--strange_fear.xm}
seconds=${2:-60}
SDL_AUDIODRIVER=dummy build/tools/zevora-cli play "$module" --seconds "$seconds" > /dev/null 2>&1 &
pid=$!
sleep $((seconds - 1))
hz=$(getconf CLK_TCK)
for task in /proc/$pid/task/*; do
  read -r comm < "$task/comm"
  # utime and stime are fields 14 and 15 of stat (after the command name).
  ticks=$(sed 's/^.*) //' "$task/stat" | awk '{print $12 + $13}')
  awk -v c="$comm" -v t="$ticks" -v hz="$hz" -v s="$((seconds - 1))" \
    'BEGIN { printf "%-16s %6.3f s CPU  %6.3f%% of one core\n", c, t / hz, 100 * t / hz / s }'
done
wait $pid
