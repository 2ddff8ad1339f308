#!/usr/bin/env bash
# Compares Zevora's offline rendering speed with xmp and openmpt123 over the
# corpus. Run after ./test.sh (which builds zevora-cli).
set -euo pipefail
cd "$(dirname "$0")/.."
missing=()
for tool in xmp openmpt123; do command -v "$tool" >/dev/null || missing+=("$tool"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
[ -x build/tools/zevora-cli ] || { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null && cmake --build build -j"$(nproc)" --target zevora-cli; }
exec python3 bench/compare.py build/tools/zevora-cli ../shared/corpus
