#!/usr/bin/env bash
# Installs what is missing, builds Zevora and runs every test: the release
# build's suites, a short fuzzing run, the engine, audio, zevora-cli and
# window suites under AddressSanitizer/UndefinedBehaviorSanitizer, and the
# streaming suites under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${ZEVORA_FUZZ_SECONDS:-60}

echo "== release build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

echo "== fuzzing (${fuzz_seconds} s per target)"
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DZEVORA_SANITIZE=address,undefined -DZEVORA_BUILD_FUZZ=ON -DZEVORA_BUILD_APP=OFF -DZEVORA_BUILD_AUDIO=OFF \
  -DZEVORA_BUILD_TESTS=OFF -DZEVORA_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$jobs" --target fuzz_player fuzz_info fuzz_mixer fuzz_api
fuzz_dir=$(mktemp -d)
trap 'rm -rf "$fuzz_dir"' EXIT
mkdir -p "$fuzz_dir/seeds"
cp ../shared/corpus/*.xm "$fuzz_dir/seeds/" 2>/dev/null || true
python3 fuzz/make_seeds.py "$fuzz_dir/seeds"
for target in fuzz_player fuzz_info fuzz_mixer fuzz_api; do
  mkdir -p "$fuzz_dir/$target"
  # A finding stops the run; its input is left in tests/regressions for the
  # replay tests (and for the developer who fixes it).
  status=0
  build-fuzz/fuzz/$target -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix=tests/regressions/ "$fuzz_dir/$target" "$fuzz_dir/seeds" > "$fuzz_dir/$target.log" 2>&1 || status=$?
  grep -E "^(stat::|#[0-9]+ +DONE|==[0-9]+==|SUMMARY|artifact_prefix|Test unit written)" "$fuzz_dir/$target.log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$fuzz_dir/$target.log"
    echo "fuzzing $target found a problem"
    exit 1
  fi
done

echo "== address and undefined-behaviour sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVORA_SANITIZE=address,undefined \
  -DZEVORA_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && LSAN_OPTIONS="suppressions=$PWD/../tests/lsan.supp:print_suppressions=0" \
  ctest --output-on-failure -j"$jobs" --timeout 900 -L 'engine|audio|cli|threads|stress|window')

echo "== thread sanitizer"
# Everything with more than one thread: the streaming suites, the sound
# buffer, the window (offscreen and under Xvfb), zevora-cli play through
# the disk driver and a vanishing device, and zevora-cli's batches on two
# threads. The PulseAudio test stays out: the
# sound server's client library is not instrumented, and its own locking
# looks like races to the sanitizer.
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEVORA_SANITIZE=thread \
  -DZEVORA_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs" --target stream_thread_test player_test stress_test api_test audio_test window_test \
  window_list_test window_pattern_test mpris_test zevora zevora-cli stand_in_sdl
(cd build-tsan && TSAN_OPTIONS="suppressions=$PWD/../tests/tsan.supp" \
  ctest --output-on-failure -j"$jobs" --timeout 900 -L 'threads|stress|audio|window' -E pulse_play_test)
