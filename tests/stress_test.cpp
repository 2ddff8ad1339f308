// Play and stop, a thousand times, while the cursor moves on another thread:
// good corpus files, damaged ones and null sources in turn.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine_fixture.h"
#include "memory_sound_buffer.h"
#include "stream_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(StressTest, ThousandPlayStopCycles) {
  std::vector<std::vector<std::uint8_t>> modules;
  for (const std::string& file : CorpusFiles()) modules.push_back(ReadFile(file));
  ASSERT_FALSE(modules.empty());
  // Damaged copies: cut short, and with bytes overwritten.
  std::vector<std::vector<std::uint8_t>> damaged;
  for (std::size_t i = 0; i < modules.size(); ++i) {
    std::vector<std::uint8_t> cut(modules[i].begin(), modules[i].begin() + modules[i].size() / (2 + i % 5));
    damaged.push_back(cut);
    std::vector<std::uint8_t> noisy = modules[i];
    for (std::size_t k = 60; k < noisy.size(); k += 97 + i) noisy[k] = static_cast<std::uint8_t>(noisy[k] * 31 + 7);
    damaged.push_back(noisy);
  }

  MemorySoundBuffer buffer;
  std::atomic<bool> done{false};
  // The cursor moves at about the pace of real playback while it plays.
  std::thread mover([&] {
    while (!done) {
      buffer.AdvancePlayCursorWhilePlaying(kBlockBytes / 4);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  std::vector<double> stopMs;
  for (int cycle = 0; cycle < 1000; ++cycle) {
    HRESULT result;
    if (cycle % 3 == 0) {
      const auto& m = modules[cycle / 3 % modules.size()];
      result = PlayerPlay(m.data(), m.size(), kSourceMemory, &buffer);
    } else if (cycle % 3 == 1) {
      const auto& m = damaged[cycle / 3 % damaged.size()];
      result = PlayerPlay(m.data(), m.size(), kSourceMemory, &buffer);
    } else {
      result = PlayerPlay(nullptr, 0, kSourceMemory, &buffer);
      EXPECT_EQ(result, E_INVALIDARG);
    }
    if (result >= 0 && cycle % 7 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const auto start = Clock::now();
    EXPECT_EQ(PlayerStop(), E_INVALIDARG);
    stopMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    ASSERT_EQ(DefaultPlayer().threadRunning.load(), 0) << cycle;
    ASSERT_FALSE(buffer.Playing()) << cycle;
    ASSERT_EQ(buffer.PlayCursor(), 0u) << cycle;
    ASSERT_EQ(DefaultPlayer().song, nullptr) << cycle;
  }
  done = true;
  mover.join();
  std::sort(stopMs.begin(), stopMs.end());
  std::printf("PlayerStop: median %.2f ms, 99th percentile %.2f ms, longest %.2f ms\n", stopMs[stopMs.size() / 2],
              stopMs[stopMs.size() * 99 / 100], stopMs.back());
  // A hang check, not a speed measure: a stop waits at most for the block
  // being rendered, and a loaded machine can stretch that many times over.
  EXPECT_LT(stopMs.back(), 2000.0);
}

}  // namespace
