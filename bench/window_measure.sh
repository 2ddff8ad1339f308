# What the window benchmarks share; sourced, not run. Expects $tmp (a
# folder of the script's own) and sets $xvfb and $pid for its clean-up.
#   start_xvfb SIZE       an X server of SIZE (e.g. 1024x768x24) for the window,
#                         DISPLAY and a configuration folder of its own
#   thread_cpu SECONDS    each thread's CPU of the process $pid over SECONDS,
#                         and all of them together, from /proc (schedstat)
pid=""
xvfb=""
trap '[ -n "$pid" ] && kill "$pid" 2> /dev/null; [ -n "$xvfb" ] && kill "$xvfb" 2> /dev/null; rm -rf "$tmp"' EXIT
start_xvfb() {
  Xvfb -displayfd 3 -noreset -screen 0 "$1" -nolisten tcp 3> "$tmp/display" > /dev/null 2>&1 &
  xvfb=$!
  for _ in $(seq 100); do [ -s "$tmp/display" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n 1 "$tmp/display")"
  export XDG_CONFIG_HOME="$tmp/config"
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
  mkdir -p "$XDG_CONFIG_HOME/zevora"
}
# One line per thread: id, name, nanoseconds run.
thread_snapshot() {
  for task in /proc/$pid/task/*; do
    read -r comm < "$task/comm"
    read -r ns _ < "$task/schedstat"
    echo "${task##*/} $comm $ns"
  done
}
thread_cpu() {
  thread_snapshot > "$tmp/before"
  sleep "$1"
  thread_snapshot > "$tmp/after"
  awk -v s="$1" '
    NR == FNR { before[$1] = $3; next }
    {
      ns = $3 - before[$1]
      total += ns
      printf "%-16s %7.3f s CPU  %6.3f%% of one core\n", $2, ns / 1e9, 100 * ns / 1e9 / s
    }
    END { printf "%-16s %7.3f s CPU  %6.3f%% of one core\n", "all threads", total / 1e9, 100 * total / 1e9 / s }
  ' "$tmp/before" "$tmp/after"
}
