#!/usr/bin/env bash
# zevora-cli's work on several threads, small enough for the
# ThreadSanitizer build (which fails the program on a data race): a batch
# with stems and a file that cannot be read on two threads equals the same
# batch on one, and info --json of the corpus on two threads equals it on
# one.
set -u
cli="$1"
corpus="$2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/checks.sh"

printf 'not a module' > "$tmp/bad.xm"
inputs=("$corpus/vor--mph.xm" "$tmp/bad.xm" "$corpus/vodovod--walk.xm" "$corpus/ballz-data--finalman-quickie.xm")
for jobs in 1 2; do
  mkdir "$tmp/j$jobs"
  "$cli" render "${inputs[@]}" -o "$tmp/j$jobs/" --format flac --seconds 2 --stems -j "$jobs" 2> "$tmp/err$jobs"
  echo $? > "$tmp/code$jobs"
  "$cli" info --json -j "$jobs" "$corpus"/*.xm "$tmp/bad.xm" > "$tmp/info$jobs.jsonl" 2> /dev/null
done
check "render with -j 2 reports the bad file and exits 1" bash -c \
  '[ "$(cat "$0/code2")" = 1 ] && [ "$(wc -l < "$0/err2")" = 1 ] && grep -q "bad.xm: not an XM module" "$0/err2"' "$tmp"
check "render with -j 2 writes the stems -j 1 writes, bit for bit" bash -c \
  '[ "$(ls "$0/j1" | wc -l)" -eq 24 ] && diff -r "$0/j1" "$0/j2" > /dev/null' "$tmp"
check "info --json -j 2 gives what -j 1 gives" bash -c \
  '[ "$(wc -l < "$0/info2.jsonl")" -eq "$1" ] && cmp -s "$0/info1.jsonl" "$0/info2.jsonl"' "$tmp" \
  $(($(ls "$corpus"/*.xm | wc -l) + 1))

finish
