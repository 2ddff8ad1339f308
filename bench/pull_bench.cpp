// The sound device's pull from the looping buffer with the equalizer on:
// one 4,096-frame pull of a loud tone, and one of silence after 15 s of
// silence, where an equalizer whose state had decayed into the denormal
// range used to cost several times as much, for as long as the program ran.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "effects.h"
#include "looping_sound_buffer.h"

namespace {

// A device the benchmark pulls by hand.
class HandDevice : public AudioDevice {
 public:
  explicit HandDevice(Pull& pull) : pull_(pull) {}
  bool Open(Pull pull) override {
    pull_ = std::move(pull);
    return true;
  }
  void Close() override {}
  bool Lost() override { return false; }

 private:
  Pull& pull_;
};

constexpr std::uint32_t kPullFrames = 4096;

void FillRing(LoopingSoundBuffer& buffer, bool tone) {
  void* region = nullptr;
  std::uint32_t bytes = 0;
  buffer.Lock(0, kRingBytes, &region, &bytes, nullptr, nullptr, 0);
  auto* samples = static_cast<std::int16_t*>(region);
  for (std::uint32_t i = 0; i < bytes / 2; ++i)
    samples[i] = tone ? static_cast<std::int16_t>(20000 * std::sin(2 * M_PI * 80 * (i / 2) / 44100.0)) : 0;
  buffer.Unlock(region, bytes, nullptr, 0);
}

// Argument 0: the tone; 1: silence, 15 s after the tone stopped.
void BM_PullWithEqualizer(benchmark::State& state) {
  AudioDevice::Pull pull;
  LoopingSoundBuffer buffer(std::make_unique<HandDevice>(pull), true);
  buffer.Start();
  DSEFFECTDESC desc{32, 0, GUID_DSFX_STANDARD_PARAMEQ, 0, 0};
  buffer.SetFX(1, &desc, nullptr);
  void* object = nullptr;
  buffer.GetObjectInPath(GUID_DSFX_STANDARD_PARAMEQ, 0, IID_IDirectSoundFXParamEq, &object);
  const DSFXParamEq params{80.0f, 12.0f, 15.0f};
  static_cast<IDirectSoundFXParamEq*>(object)->SetAllParameters(&params);
  FillRing(buffer, true);
  buffer.Play(0, 0, DSBPLAY_LOOPING);
  std::vector<std::int16_t> out(2 * kPullFrames);
  for (std::uint32_t frames = 0; frames < 44100; frames += kPullFrames) pull(out.data(), kPullFrames);
  if (state.range(0) == 1) {
    FillRing(buffer, false);
    for (std::uint32_t frames = 0; frames < 15 * 44100; frames += kPullFrames) pull(out.data(), kPullFrames);
  }
  for (auto _ : state) pull(out.data(), kPullFrames);
}
BENCHMARK(BM_PullWithEqualizer)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
