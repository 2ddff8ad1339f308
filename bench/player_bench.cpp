// PlayerPlay (load and the 100-block prefill) and PlayerStop latencies for
// the largest corpus module, with the streaming thread running between.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "memory_sound_buffer.h"
#include "player.h"

namespace {

std::string LargestModule() {
  std::string best;
  std::uintmax_t size = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ZEVORA_CORPUS_DIR, error))
    if (entry.path().extension() == ".xm" && entry.file_size() > size) size = entry.file_size(), best = entry.path();
  return best;
}

void BM_PlayerPlay(benchmark::State& state) {
  const std::string file = LargestModule();
  MemorySoundBuffer buffer;
  for (auto _ : state) {
    PlayerPlay(file.c_str(), 0, kSourceFile, &buffer);
    state.PauseTiming();
    PlayerStop();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_PlayerPlay)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlayerStop(benchmark::State& state) {
  const std::string file = LargestModule();
  MemorySoundBuffer buffer;
  // The cursor moves at the pace of real playback (a quarter block every 5 ms).
  std::atomic<bool> done{false};
  std::thread mover([&] {
    while (!done) {
      buffer.AdvancePlayCursorWhilePlaying(3536 / 4);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (auto _ : state) {
    state.PauseTiming();
    PlayerPlay(file.c_str(), 0, kSourceFile, &buffer);
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    state.ResumeTiming();
    PlayerStop();
  }
  done = true;
  mover.join();
}
BENCHMARK(BM_PlayerStop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

}  // namespace
