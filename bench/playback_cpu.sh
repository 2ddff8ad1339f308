#!/usr/bin/env bash
# CPU used while zevora-cli plays a module for 60 s through SDL's dummy
# driver: each thread's share of one core and all of them together, read
# from /proc (schedstat, in nanoseconds) just before the end. The streaming
# thread is "zevora-stream"; SDL names its audio thread.
set -euo pipefail
cd "$(dirname "$0")/.."
module=${1:-../shared/corpus/gemdropx--hr_suds.xm}
seconds=${2:-60}
SDL_AUDIODRIVER=dummy build/tools/zevora-cli play "$module" --loops 0 --seconds "$seconds" > /dev/null 2>&1 &
pid=$!
sleep $((seconds - 1))
total=0
for task in /proc/$pid/task/*; do
  read -r comm < "$task/comm"
  # The first field of schedstat is the time the task has run, in ns.
  read -r ns _ < "$task/schedstat"
  total=$((total + ns))
  awk -v c="$comm" -v ns="$ns" -v s="$((seconds - 1))" \
    'BEGIN { printf "%-16s %7.3f s CPU  %6.3f%% of one core\n", c, ns / 1e9, 100 * ns / 1e9 / s }'
done
awk -v ns="$total" -v s="$((seconds - 1))" \
  'BEGIN { printf "%-16s %7.3f s CPU  %6.3f%% of one core\n", "all threads", ns / 1e9, 100 * ns / 1e9 / s }'
wait $pid
