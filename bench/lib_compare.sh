#!/usr/bin/env bash
# Renders the corpus modules and their 32-channel variants, 300 s each, into
# memory with libzevora, libopenmpt and libxmp in one process (see
# lib_compare.cpp), once for every mixing path this processor has: the path
# is fixed for a process by ZEVORA_MIX_PATH, so each path gets a process of
# its own, in which the libraries alternate over the rounds.
#
# usage: bench/lib_compare.sh [ROUNDS]   (ZEVORA_COMPARE_SECONDS: seconds per module, 300;
#                                         ZEVORA_COMPARE_PATHS: e.g. "avx2 avx512")
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
seconds=${ZEVORA_COMPARE_SECONDS:-300}
scripts/install-deps.sh
# Configured again where a build exists: libraries installed since are
# found then.
if [ -f build/CMakeCache.txt ]; then cmake -S . -B build >/dev/null; else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null; fi
cmake --build build -j2 --target lib_compare >/dev/null

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
python3 bench/widen_channels.py ../shared/corpus "$folder/wide32" >/dev/null

if [ -n "${ZEVORA_COMPARE_PATHS:-}" ]; then
  read -r -a paths <<<"$ZEVORA_COMPARE_PATHS"
else
  paths=(plain)
  grep -qw avx2 /proc/cpuinfo && paths+=(avx2)
  grep -w avx512f /proc/cpuinfo | grep -w avx512dq | grep -w avx512bw | grep -qw avx512vl && paths+=(avx512)
fi
for path in "${paths[@]}"; do
  echo "== ZEVORA_MIX_PATH=$path"
  ZEVORA_MIX_PATH=$path build/bench/lib_compare --seconds "$seconds" --rounds "$rounds" ../shared/corpus \
    "$folder/wide32"
  echo
done
