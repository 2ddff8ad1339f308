#!/usr/bin/env bash
# Installs what is missing, builds Zevora and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=$(nproc)

# The release build: every test, the benchmarks built (not run).
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$jobs" --timeout 600)

# The engine and audio tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the streaming tests under ThreadSanitizer.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVORA_SANITIZE=address,undefined \
  -DZEVORA_BUILD_APP=OFF -DZEVORA_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs" --timeout 900 -L 'engine|audio|cli')

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVORA_SANITIZE=thread \
  -DZEVORA_BUILD_APP=OFF -DZEVORA_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target stream_thread_test player_test
(cd build-tsan && ctest --output-on-failure -j"$jobs" --timeout 900 -L 'threads')
