#!/usr/bin/env bash
# zevora-cli play through a real PulseAudio server of the test's own (its
# own runtime folder, a null sink without rewinds, captured from the sink's
# monitor) while both cores are kept busy: the capture is exactly the
# rendered pass followed by silence, also where a file that cannot be
# loaded follows the pass. Then the server is killed in mid-play:
# a clear message and exit code 1, never a hang.
set -u
cli="$1"
seeds_script="$2"
corpus="$3"
tmp=$(mktemp -d)
server=""
recorder=""
burners=()
cleanup() {
  for pid in "${burners[@]}" $recorder $server; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
  echo "0 passed, 1 failed: $1"
  exit 1
}
command -v pulseaudio > /dev/null && command -v parec > /dev/null || fail "pulseaudio and parec are not installed"
mkdir -p "$tmp/run" "$tmp/home"
# In the sanitizer build, what the PulseAudio client library keeps is not
# reported as our leak.
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp:print_suppressions=0"
export XDG_RUNTIME_DIR="$tmp/run" HOME="$tmp/home" PULSE_SERVER="unix:$tmp/run/native" PULSE_SINK=zevora_test
start_server() {
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --disable-shm=yes --log-target=stderr \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$tmp/run/native" \
    -L "module-null-sink sink_name=zevora_test rate=44100 format=s16le channels=2 norewinds=1" \
    > "$tmp/server.log" 2>&1 &
  server=$!
  for _ in $(seq 100); do pactl list short sinks 2>/dev/null | grep -q zevora_test && return 0; sleep 0.1; done
  return 1
}
start_server || fail "the PulseAudio server did not start: $(tail -3 "$tmp/server.log")"

python3 "$seeds_script" "$tmp" > /dev/null
module="$tmp/effects.xm"
"$cli" render "$module" -o "$tmp/render.wav" || fail "render"
# The pass alone, and followed by a file that cannot be loaded (what the
# server still holds of the pass is played out all the same).
cases=0
for second in "" "$tmp/missing.xm"; do
  parec --device=zevora_test.monitor --format=s16le --rate=44100 --channels=2 --raw > "$tmp/capture.raw" &
  recorder=$!
  sleep 0.5
  # Both cores busy, as background work keeps them (at the lowest priority).
  for _ in 1 2; do nice -n 19 sh -c 'while :; do :; done' & burners+=($!); done
  # shellcheck disable=SC2086
  SDL_AUDIODRIVER=pulseaudio timeout 60 "$cli" play "$module" $second > /dev/null 2> "$tmp/play.err"
  rc=$?
  sleep 0.5
  for pid in "${burners[@]}" $recorder; do kill "$pid" 2>/dev/null; done
  wait "${burners[@]}" $recorder 2>/dev/null
  burners=()
  recorder=""
  want_rc=0
  [ -n "$second" ] && want_rc=1
  python3 - "$tmp/capture.raw" "$tmp/render.wav" "$rc" "$want_rc" <<'PY' || fail "play $second: capture differs: $(cat "$tmp/play.err")"
import array, sys, wave
capture = array.array('h', open(sys.argv[1], 'rb').read())
with wave.open(sys.argv[2]) as w:
    render = array.array('h', w.readframes(w.getnframes()))
def first_sound(a):
    return next((i - i % 2 for i, v in enumerate(a) if v), len(a))
c, r = first_sound(capture), first_sound(render)
n = len(render) - r
ok = sys.argv[3] == sys.argv[4] and n > 0 and capture[c:c + n] == render[r:] and not any(capture[c + n:])
if not ok:
    print("exit %s, captured %d samples from %d, pass %d" % (sys.argv[3], len(capture), c, n))
sys.exit(0 if ok else 1)
PY
  cases=$((cases + 1))
done

# The server goes away in mid-play.
SDL_AUDIODRIVER=pulseaudio timeout 60 "$cli" play "$corpus/vor--mph.xm" > /dev/null 2> "$tmp/gone.err" &
player=$!
sleep 2
kill -KILL "$server"
wait "$server" 2>/dev/null
server=""
sent=$(date +%s%N)
wait "$player"
rc=$?
took=$((($(date +%s%N) - sent) / 1000000))
[ "$rc" -eq 1 ] && [ "$took" -lt 5000 ] && grep -q "sound device" "$tmp/gone.err" ||
  fail "server killed: exit $rc after $took ms: $(cat "$tmp/gone.err")"
echo "$((cases + 1)) passed, 0 failed"
