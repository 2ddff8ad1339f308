#!/usr/bin/env bash
# End-to-end checks of zevora-cli: info on every corpus file, clean refusals,
# deterministic WAV renders, no output left behind on failure.
set -u
cli="$1"
corpus="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/checks.sh"

for f in "$corpus"/*.xm; do
  check "info $(basename "$f")" bash -c '"$0" info --json "$1" > "$2/info.json" && python3 -c "
import json,sys
d=json.load(open(sys.argv[1]))
assert d[\"channels\"]>=1 and len(d[\"orders\"])==d[\"songLength\"]
assert len(d[\"patterns\"])==d[\"patternCount\"] and len(d[\"instruments\"])==d[\"instrumentCount\"]
for i in d[\"instruments\"]:
    assert len(i[\"samples\"])==i[\"sampleCount\"]
    for s in i[\"samples\"]: assert s[\"loopStart\"]+s[\"loopLength\"]<=s[\"length\"]
" "$2/info.json"' "$cli" "$f" "$tmp"
done

refuses() {  # refuses FILE PATTERN: exit 1, one line naming the file and the reason
  local out
  out=$("$cli" info "$1" 2>&1 >/dev/null)
  local rc=$?
  [ $rc -eq 1 ] && [ "$(printf '%s\n' "$out" | wc -l)" -eq 1 ] && printf '%s' "$out" | grep -q -- "$1" &&
    printf '%s' "$out" | grep -q -- "$2"
}
printf 'not a module at all' > "$tmp/text.xm"
: > "$tmp/empty.xm"
check "info refuses a missing file" refuses "$tmp/missing.xm" "cannot open"
check "info refuses a text file" refuses "$tmp/text.xm" "not an XM module"
check "info refuses an empty file" refuses "$tmp/empty.xm" "not an XM module"
check "info refuses a folder" refuses "$tmp" "cannot open"

# Memory that runs short for the song scan (it keeps every row start of a
# pass, tens of MB for a million) is said as for the load, exit code 1, not
# an abort. (Not under AddressSanitizer, which cannot run with its address
# space limited.)
if ! ldd "$cli" 2> /dev/null | grep -q libasan; then
  long_pass="$(dirname "$0")/regressions/slow-scan-of-loops-in-the-last-channels"
  for command in "info -j 1" "render -j 1 --seconds 1 -o $tmp/short.wav"; do
    check "${command%% *}: out of memory for the scan" bash -c 'ulimit -v 40000
out=$("$0" $1 "$2" 2>&1 > /dev/null); [ $? -eq 1 ] && printf "%s" "$out" | grep -q "out of memory" &&
  [ ! -e "$3/short.wav" ]' "$cli" "$command" "$long_pass" "$tmp"
  done
fi

check "render demo" "$cli" render -o "$tmp/demo1.wav" --seconds 5 --positions "$tmp/demo.csv"
check "render demo again" "$cli" render -o "$tmp/demo2.wav" --seconds 5
check "demo render is deterministic" cmp -s "$tmp/demo1.wav" "$tmp/demo2.wav"
check "wav header" python3 -c "
import wave,sys
w=wave.open(sys.argv[1]); assert (w.getnchannels(),w.getsampwidth(),w.getframerate())==(2,2,44100)
assert w.getnframes()==5*44100, w.getnframes()
" "$tmp/demo1.wav"
check "positions csv has a line per block" test "$(wc -l < "$tmp/demo.csv")" -eq 250
check "render --blocks" bash -c '"$0" render -o "$1/b.wav" --blocks 3 && [ $(stat -c %s "$1/b.wav") -eq $((44 + 3 * 3536)) ]' "$cli" "$tmp"
for f in "$corpus"/*.xm; do
  check "render $(basename "$f") for 3 minutes twice, same bytes" bash -c \
    '"$0" render "$1" -o "$2/c1.wav" --seconds 180 && "$0" render "$1" -o "$2/c2.wav" --seconds 180 && cmp -s "$2/c1.wav" "$2/c2.wav"' \
    "$cli" "$f" "$tmp"
done
check "render of a bad file fails without output" bash -c '! "$0" render "$1/text.xm" -o "$1/bad.wav" 2>/dev/null && [ ! -e "$1/bad.wav" ] && [ ! -e "$1/bad.wav.part" ]' "$cli" "$tmp"

check "render reports a positions file it cannot write" bash -c \
  'out=$("$0" render -o "$1/p.wav" --blocks 5 --positions "$1/no/such/dir.csv" 2>&1); [ $? -eq 1 ] && printf "%s" "$out" | grep -q "cannot write"' \
  "$cli" "$tmp"

check "render to a device writes into it and leaves it a device" bash -c '"$0" render -o /dev/null --blocks 5 && [ -c /dev/null ]' "$cli"

finish
