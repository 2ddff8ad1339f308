#!/usr/bin/env bash
# zevora-cli info of a whole collection: COUNT copies of the corpus modules
# (10,000 by default, each a file of its own) read by one
# `zevora-cli info --json` on every core, three rounds, then one round on
# one core for comparison. The files are read from the page cache (they
# were just written), as a collection read a second time is.
#
#   bench/info_many.sh build/tools/zevora-cli ../shared/corpus [COUNT]
set -euo pipefail
cli=$(realpath "$1")
corpus=$2
count=${3:-10000}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

modules=("$corpus"/*.xm)
mkdir "$dir/collection"
for ((i = 0; i < count; i++)); do
  source=${modules[i % ${#modules[@]}]}
  cp "$source" "$dir/collection/$(printf '%06d' "$i")-$(basename "$source")"
done
echo "$count modules ($(du -sh "$dir/collection" | cut -f1)), $(nproc) cores"

round() {  # round LABEL ARGS...
  local label=$1
  shift
  local start end
  start=$(date +%s%N)
  (cd "$dir/collection" && "$cli" info --json "$@" ./*.xm > "$dir/out.jsonl")
  end=$(date +%s%N)
  local lines errors
  lines=$(wc -l < "$dir/out.jsonl")
  errors=$(grep -c '"error"' "$dir/out.jsonl" || true)
  [ "$lines" -eq "$count" ] || { echo "only $lines lines of $count"; exit 1; }
  local ms=$(((end - start) / 1000000))
  printf '%-10s %3d.%02d s  (%d lines, %d errors)\n' "$label" $((ms / 1000)) $((ms % 1000 / 10)) "$lines" "$errors"
}
for r in 1 2 3; do round "all cores" ; done
round "-j 1" -j 1
