#!/usr/bin/env bash
# zevora-cli play through SDL's disk audio driver hears exactly the frames
# that zevora-cli render writes, from the first frame the buffer played to
# the end asked for, and silence after it; and SIGTERM or Ctrl-C ends
# playback at once, cleanly, the program dying of the signal (exit status
# 143 or 130 in the shell) so that a loop over files stops too.
set -u
cli="$1"
corpus="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
module="$corpus/vor--mph.xm"
SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$tmp/capture.raw" timeout 60 "$cli" play "$module" --seconds 3 > "$tmp/times.txt" 2>/dev/null
rc=$?
"$cli" render "$module" -o "$tmp/render.wav" --seconds 3 || exit 1
# Each stop signal: sent once a 30 s play has printed its time 00:00:02
# (however long the start took on a busy machine); the program must end by
# the signal at once (a few seconds at most on a busy machine, not the
# rest of the 30 s).
signals_ok=1
for sig in TERM:143 INT:130; do
  want=${sig#*:}
  sig=${sig%:*}
  : > "$tmp/signal.txt"
  SDL_AUDIODRIVER=dummy timeout 60 "$cli" play "$module" --seconds 30 > "$tmp/signal.txt" 2>/dev/null &
  pid=$!
  for _ in $(seq 300); do grep -q "^00:00:02$" "$tmp/signal.txt" && break; sleep 0.1; done
  sent=$(date +%s%N)
  kill -s "$sig" "$pid"
  wait "$pid"
  src=$?
  took=$((($(date +%s%N) - sent) / 1000000))
  if [ "$src" -ne "$want" ] || [ "$took" -gt 5000 ] || ! grep -q "^00:00:02$" "$tmp/signal.txt"; then
    echo "SIG$sig: exit $src after $took ms, output: $(tr '\n' ' ' < "$tmp/signal.txt")"
    signals_ok=0
  fi
done

python3 - "$tmp/capture.raw" "$tmp/render.wav" "$tmp/times.txt" "$rc" "$signals_ok" <<'PY'
import array, sys
capture = array.array('h', open(sys.argv[1], 'rb').read())
render = array.array('h', open(sys.argv[2], 'rb').read()[44:])
times = open(sys.argv[3]).read().split()
def first_sound(a):
    return next(i for i in range(0, len(a), 2) if a[i] or a[i + 1])
c, r = first_sound(capture), first_sound(render)
heard = len(capture) - c
want = len(render) - r
ok = sys.argv[4] == "0" and want > 44100 * 2 and capture[c:c + want] == render[r:]
ok = ok and not any(capture[c + want:])
ok = ok and len(times) >= 2 and all(len(t) == 8 and t[2] == t[5] == ":" for t in times)
ok = ok and times[0] in ("00:00:01", "00:00:02") and sys.argv[5] == "1"
print("1 passed, 0 failed" if ok else "0 passed, 1 failed: frames heard %d, times %s" % (heard // 2, times))
sys.exit(0 if ok else 1)
PY
