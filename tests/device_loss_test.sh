#!/usr/bin/env bash
# zevora-cli play when the sound device goes away (a stand-in for SDL whose
# device stops after a while and never opens again): a clear message, exit
# code 1, no abort and no hang, and the stop signals still work.
set -u
cli="$1"
stand_in="$2"
module="$3/vor--mph.xm"
passed=0
failed=0
# run NAME LOSE_AFTER_MS MAX_SECONDS PATTERN: exit 1 within MAX_SECONDS, the message on stderr
run() {
  local start took rc err
  start=$(date +%s%N)
  err=$(ZEVORA_SDL_LIBRARY="$stand_in" STAND_IN_SDL_LOSE_AFTER_MS="$2" timeout 30 "$cli" play "$module" --seconds 20 2>&1 >/dev/null)
  rc=$?
  took=$((($(date +%s%N) - start) / 1000000))
  if [ "$rc" -eq 1 ] && [ "$took" -lt $(($3 * 1000)) ] && printf '%s' "$err" | grep -q "$4"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1: exit $rc after $took ms: $err"
  fi
}
run "device lost between open and start" 0 5 "cannot start playback: the sound device failed"
run "device lost in mid-play" 1500 6 "the sound device is gone"

# Lost in mid-play, and SIGTERM while the program tries to bring it back.
ZEVORA_SDL_LIBRARY="$stand_in" STAND_IN_SDL_LOSE_AFTER_MS=1000 "$cli" play "$module" --seconds 20 >/dev/null 2>&1 &
pid=$!
sleep 1.3
kill -TERM "$pid"
sent=$(date +%s%N)
wait "$pid"
rc=$?
took=$((($(date +%s%N) - sent) / 1000000))
if [ "$rc" -le 1 ] && [ "$took" -lt 3000 ]; then passed=$((passed + 1)); else
  failed=$((failed + 1))
  echo "FAILED: SIGTERM after the loss: exit $rc after $took ms"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
