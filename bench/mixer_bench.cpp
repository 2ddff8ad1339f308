// MixVoices speed: voice-frames per second, with and without gain ramps,
// over forward and ping-pong loops, long ones and short ones (a short loop
// cuts a block into many chunks).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "mixer.h"
#include "simd.h"
#include "song.h"

namespace {

struct BenchSample {
  BenchSample(std::uint8_t kind, std::uint32_t loop) : storage(4096 + 4) {
    for (std::size_t i = 0; i < storage.size(); ++i) storage[i] = static_cast<std::int16_t>((i * 2654435761u) >> 17);
    sample.length = 4096;
    sample.loopKind = kind;
    sample.loopStart = 4096 - loop;
    sample.loopLength = loop;
    sample.data = storage.data() + 1;
    spans.resize(SpanStorageEntries(4096));
    FillSampleSpans(sample, spans.data());  // as the loader does
  }
  std::vector<std::int16_t> storage;
  std::vector<std::int64_t> spans;
  Sample sample{};
};

// args: voices, loop kind (1 forward, 2 ping-pong), ramp (0/1), path (0:
// SSE2, 1: AVX2, 2: AVX-512, where the processor has them), loop length,
// whole frames added to the steps (0: steps of 0.60-0.75 frames, 1: of
// 1.60-1.75, which the widest loop reads differently)
void BM_MixVoices(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const auto path = static_cast<MixPath>(state.range(3));
  if (path > MachineMixPath()) {
    state.SkipWithError("the processor lacks this path");
    return;
  }
  Song* song = CreateSong();
  song->mixPath = path;
  Voice (&voices)[kVoiceCount] = song->voices;
  BenchSample s(static_cast<std::uint8_t>(state.range(1)), static_cast<std::uint32_t>(state.range(4)));
  const bool ramp = state.range(2) != 0;
  std::memset(voices, 0, sizeof voices);
  for (int v = 0; v < count; ++v) {
    Voice& voice = voices[v];
    voice.voiceIndex = v;
    voice.sample = &s.sample;
    voice.stepInt = static_cast<std::uint32_t>(state.range(5));
    voice.stepFrac = 0x9A000000u + static_cast<std::uint32_t>(v) * 0x1234567u;
    voice.leftVolume = voice.currentLeft = voice.rampLeftTarget = 90 + v;
    voice.rightVolume = voice.currentRight = voice.rampRightTarget = 40 + v;
  }
  std::vector<float> left(884), right(884);
  int flip = 0;
  for (auto _ : state) {
    if (ramp) {
      // New targets every call: each call mixes a 128-frame ramp first.
      flip ^= 1;
      for (int v = 0; v < count; ++v) voices[v].leftVolume = 90 + v + 20 * flip;
    }
    MixVoices(*song, left.data(), right.data(), 884);
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
  }
  state.SetItemsProcessed(state.iterations() * 884 * count);
  DestroySong(song);
}
BENCHMARK(BM_MixVoices)
    ->ArgNames({"voices", "loop", "ramp", "path", "length", "step"})
    ->ArgsProduct({{1, 32}, {1, 2}, {0, 1}, {0, 1, 2}, {3072, 64}, {0, 1}});

}  // namespace
