#!/usr/bin/env bash
# zevora-cli play through SDL's disk audio driver: where one file ends the
# next begins at the following frame, with nothing left out and nothing
# added. The capture of a list is the concatenation of each file's render,
# bit for bit (whole files at --seconds, and from --start on; files shorter
# than the ring, where the next is queued after the one before has ended in
# it, down to a few blocks each; a queued file deleted or cut short before
# it is reached, which plays as it was read, with nothing said).
set -u
cli="$1"
corpus="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
files=("$corpus/vor--mph.xm" "$corpus/njam-data--dali.xm" "$corpus/vodovod--walk.xm")
status=0
count=0
for options in "--seconds 1.5" "--start 2 --seconds 1.2" "--seconds 0.4" "twice --seconds 0.05" \
  "deleted --seconds 2.5" "cut --seconds 2.5"; do
  count=$((count + 1))
  change=
  case "$options" in
    deleted* | cut* | twice*) change=${options%% *} options=${options#* } ;;
  esac
  played=("${files[@]}")
  # The list twice, each file a few blocks long: the ring's first fill
  # takes two, and each of the others follows right where the one before
  # ended, queued before anything is heard.
  [ "$change" = twice ] && played=("${files[@]}" "${files[@]}")
  rendered=("${played[@]}")
  if [ "$change" = deleted ] || [ "$change" = cut ]; then
    # The second file is a copy, changed while the first plays.
    cp "${files[1]}" "$tmp/queued.xm"
    played[1]="$tmp/queued.xm"
  fi
  rm -f "$tmp/capture.raw"
  # shellcheck disable=SC2086
  SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE="$tmp/capture.raw" timeout 60 "$cli" play "${played[@]}" $options \
    > /dev/null 2> "$tmp/stderr.txt" &
  pid=$!
  if [ "$change" = deleted ] || [ "$change" = cut ]; then
    # Changed once the first file is heard (the second was read before the
    # device started), however long the start took.
    for _ in $(seq 200); do
      [ "$(tr -d '\000' 2> /dev/null < "$tmp/capture.raw" | head -c 1 | wc -c)" -eq 1 ] && break
      sleep 0.1
    done
    sleep 0.5
    if [ "$change" = deleted ]; then rm "$tmp/queued.xm"; else truncate -s 100 "$tmp/queued.xm"; fi
  fi
  wait "$pid" || { echo "play $change $options: exit $?: $(grep -v CRITICAL "$tmp/stderr.txt")"; status=1; continue; }
  if grep -v CRITICAL "$tmp/stderr.txt"; then
    echo "play $change $options: said something"
    status=1
  fi
  : > "$tmp/renders.raw"
  for f in "${rendered[@]}"; do
    # shellcheck disable=SC2086
    "$cli" render "$f" -o "$tmp/one.wav" $options >/dev/null 2>&1 || exit 1
    tail -c +45 "$tmp/one.wav" >> "$tmp/renders.raw"
  done
  python3 - "$tmp/capture.raw" "$tmp/renders.raw" "$change $options" <<'PY' || status=1
import array, sys
capture = array.array('h', open(sys.argv[1], 'rb').read())
render = array.array('h', open(sys.argv[2], 'rb').read())
def first_sound(a):
    return next(i for i in range(0, len(a), 2) if a[i] or a[i + 1])
start = first_sound(capture) - first_sound(render)
heard = capture[start:start + len(render)]
ok = start >= 0 and heard == render and not any(capture[start + len(render):]) and not any(capture[:start])
if not ok:
    diff = next((i for i in range(min(len(heard), len(render))) if heard[i] != render[i]), None)
    print("%s: the capture is not the renders one after the other (first difference at frame %s of %d)"
          % (sys.argv[3], None if diff is None else diff // 2, len(render) // 2))
sys.exit(0 if ok else 1)
PY
done
[ "$status" -eq 0 ] && echo "$count passed, 0 failed"
exit "$status"
