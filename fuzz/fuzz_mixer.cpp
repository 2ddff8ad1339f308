// Fuzz target: the mixer's paths against each other. Fuzzed voices (sample
// data and length, loop kind and bounds, positions, steps forward and back,
// gains, ramps under way) are mixed over fuzzed run lengths by the plain
// loop and by every wider path the processor has (AVX2, AVX-512), mixing
// into a cleared buffer or overwriting one that holds rubbish; the mix and
// every voice's state must come out the same to the bit. Skipping the same
// runs without mixing must leave every voice as mixing does.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mixer.h"
#include "simd.h"
#include "song.h"

namespace {

struct Bytes {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  std::uint32_t Next(int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | (at < size ? data[at++] : 0);
    return v;
  }
};

// A sample block laid out as the loader lays it out: index -1, the frames,
// the guard and two slack entries.
struct FuzzSample {
  std::vector<std::int16_t> storage;
  std::vector<std::int64_t> spans;
  Sample sample{};
};

bool SameState(const Voice& a, const Voice& b) {
  return a.sample == b.sample && a.positionInt == b.positionInt && a.positionFrac == b.positionFrac &&
         a.backward == b.backward && a.currentLeft == b.currentLeft && a.currentRight == b.currentRight &&
         a.rampRemaining == b.rampRemaining && a.rampLeftTarget == b.rampLeftTarget &&
         a.rampRightTarget == b.rampRightTarget && a.rampLeftDelta == b.rampLeftDelta &&
         a.rampRightDelta == b.rampRightDelta;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in{data, size};
  FuzzSample samples[3];
  for (FuzzSample& s : samples) {
    const std::uint32_t length = 1 + in.Next(2) % 3000;
    s.storage.assign(length + 4, 0);
    for (std::uint32_t i = 0; i < length; ++i) s.storage[i + 1] = static_cast<std::int16_t>(in.Next(2));
    Sample& sm = s.sample;
    sm.length = length;
    sm.loopKind = static_cast<std::uint8_t>(in.Next(1) % 3);
    sm.loopStart = sm.loopKind ? in.Next(2) % length : 0;
    sm.loopLength = sm.loopKind ? 1 + in.Next(2) % (length - sm.loopStart) : length;
    sm.data = s.storage.data() + 1;
    if (sm.loopKind == 1) sm.data[length] = sm.data[sm.loopStart];
    if (sm.loopKind == 2) sm.data[length] = sm.data[length - 1];
    // Loaded samples have their spans, unless they could not be allocated.
    if (in.Next(1) % 4 != 0) {
      s.spans.assign(SpanStorageEntries(length), 0);
      FillSampleSpans(sm, s.spans.data());
    }
  }
  Voice start[kVoiceCount] = {};
  const int count = 1 + static_cast<int>(in.Next(1) % kVoiceCount);
  static const std::int32_t kGains[] = {0, 1, 2, 64, 127, 128, 255, 256, 4096, 1 << 20, 1 << 30};
  for (int i = 0; i < count; ++i) {
    Voice& v = start[i];
    const Sample& s = samples[in.Next(1) % 3].sample;
    v.voiceIndex = i;
    v.sample = const_cast<Sample*>(&s);
    const std::uint32_t kind = in.Next(1);
    v.stepInt = kind % 4 == 0 ? in.Next(2) % 600 : kind % 4;
    v.stepFrac = in.Next(4);
    // Voices never play below 100 Hz: a step of at least 100 / 44,100.
    if (v.stepInt == 0 && v.stepFrac < 9739155u) v.stepFrac += 9739155u;
    const std::uint32_t end = s.loopKind ? s.loopStart + s.loopLength : s.length;
    v.positionInt = static_cast<std::int32_t>(in.Next(2) % end);
    v.positionFrac = in.Next(4);
    v.backward = s.loopKind == 2 && v.positionInt >= static_cast<std::int32_t>(s.loopStart) ? in.Next(1) & 1 : 0;
    v.leftVolume = v.rampLeftTarget = kGains[in.Next(1) % 11];
    v.rightVolume = v.rampRightTarget = kGains[in.Next(1) % 11];
    v.currentLeft = kGains[in.Next(1) % 11];
    v.currentRight = kGains[in.Next(1) % 11];
  }
  std::uint32_t runs[4];
  for (std::uint32_t& run : runs) run = 1 + in.Next(2) % 2000;
  // The wider paths may overwrite what the buffer holds (rubbish, then)
  // instead of mixing into a cleared buffer as the plain one does.
  const bool overwrite = (in.Next(1) & 1) != 0;
  std::uint32_t runFrames = 0;
  for (const std::uint32_t run : runs) runFrames += run;

  static Song* const song = CreateSong();
  Voice (&voices)[kVoiceCount] = song->voices;
  const MixPath paths[3] = {MixPath::kPlain, MixPath::kAvx2, MixPath::kAvx512};
  std::vector<float> reference, mixed;
  Voice referenceVoices[kVoiceCount];
  for (int k = 0; k < 3 && paths[k] <= MachineMixPath(); ++k) {
    song->mixPath = paths[k];
    std::memcpy(voices, start, sizeof voices);
    // The left half, then the right one.
    mixed.assign(2 * 2000 * 4, 0.0f);
    float* const right = mixed.data() + 2000 * 4;
    if (k > 0 && overwrite) {
      std::fill(mixed.begin(), mixed.begin() + runFrames, 3.0e38f);
      std::fill(right, right + runFrames, -1.0e30f);
    }
    std::size_t at = 0;
    for (const std::uint32_t run : runs) {
      MixVoices(*song, mixed.data() + at, right + at, run, k > 0 && overwrite);
      at += run;
    }
    if (k == 0) {
      reference = mixed;
      std::memcpy(referenceVoices, voices, sizeof voices);
      continue;
    }
    if (std::memcmp(mixed.data(), reference.data(), mixed.size() * sizeof(float)) != 0) std::abort();
    for (int i = 0; i < kVoiceCount; ++i)
      if (!SameState(voices[i], referenceVoices[i])) std::abort();
  }
  std::memcpy(voices, start, sizeof voices);
  for (const std::uint32_t run : runs) SkipVoices(*song, run);
  for (int i = 0; i < kVoiceCount; ++i)
    if (!SameState(voices[i], referenceVoices[i])) std::abort();
  return 0;
}
