// PlayerPlay (load and the 100-block prefill) and PlayerStop latencies for
// the largest corpus module, with the streaming thread running between.
#include <benchmark/benchmark.h>

#include <algorithm>
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
  for (auto _ : state) {
    state.PauseTiming();
    PlayerPlay(file.c_str(), 0, kSourceFile, &buffer);
    // Let the stream run a moment with the cursor moving, as in playback.
    for (int i = 0; i < 4; ++i) {
      buffer.AdvancePlayCursor(3536);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    state.ResumeTiming();
    PlayerStop();
  }
}
BENCHMARK(BM_PlayerStop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

}  // namespace
