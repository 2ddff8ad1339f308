#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "engine_fixture.h"
#include "simd.h"

namespace {

// The song whose voices the mixer tests mix.
Song& TestSong() {
  static Song* song = CreateSong();
  return *song;
}

// A sample block laid out like the loader's: readable zeros around it.
struct TestSample {
  explicit TestSample(std::vector<std::int16_t> frames, std::uint8_t kind = 0, std::uint32_t loopStart = 0,
                      std::uint32_t loopLength = 0)
      : storage(frames.size() + 4, 0) {
    std::copy(frames.begin(), frames.end(), storage.begin() + 1);
    sample.length = static_cast<std::uint32_t>(frames.size());
    sample.loopKind = kind;
    sample.loopStart = kind ? loopStart : 0;
    sample.loopLength = kind ? loopLength : sample.length;
    sample.data = storage.data() + 1;
    if (kind == 1) sample.data[sample.length] = sample.data[loopStart];
    if (kind == 2) sample.data[sample.length] = sample.data[sample.length - 1];
  }
  // Gives the sample its spans, as the loader does.
  void AddSpans() {
    spans.resize(SpanStorageEntries(sample.length));
    FillSampleSpans(sample, spans.data());
  }
  std::vector<std::int16_t> storage;
  std::vector<std::int64_t> spans;
  Sample sample{};
};

// A mix of `frames` frames: its left and its right half.
struct Mix {
  explicit Mix(std::uint32_t frames, float fill = 0.0f) : left(frames, fill), right(frames, fill) {}
  bool operator==(const Mix& other) const {
    return left.size() == other.left.size() &&
           std::memcmp(left.data(), other.left.data(), left.size() * sizeof(float)) == 0 &&
           std::memcmp(right.data(), other.right.data(), right.size() * sizeof(float)) == 0;
  }
  std::vector<float> left, right;
};

Voice Playing(Sample* s, double step, std::int32_t left = 255, std::int32_t right = 255) {
  Voice v{};
  v.sample = s;
  const auto bits = static_cast<std::uint64_t>(std::llround(step * 4294967296.0));
  v.stepInt = static_cast<std::uint32_t>(bits >> 32);
  v.stepFrac = static_cast<std::uint32_t>(bits);
  v.leftVolume = v.rampLeftTarget = v.currentLeft = left;
  v.rightVolume = v.rampRightTarget = v.currentRight = right;
  return v;
}

TEST(MixerTest, VoiceWithoutSampleAddsNothing) {
  Voice(&voices)[kVoiceCount] = TestSong().voices;
  std::memset(voices, 0, sizeof voices);
  voices[3].leftVolume = 100;
  voices[3].stepInt = 1;
  const Voice before = voices[3];
  Mix out(64);
  MixVoices(TestSong(), out.left.data(), out.right.data(), 64);
  EXPECT_TRUE(out == Mix(64));
  EXPECT_EQ(std::memcmp(&before, &voices[3], sizeof before), 0);
}

TEST(MixerTest, FixedGainsInterpolateLinearly) {
  TestSample s({0, 1000, 2000, 3000, 4000, 5000, 6000, 7000});
  Voice v = Playing(&s.sample, 0.25, 255, 128);
  Mix out(8);
  MixVoice(v, out.left.data(), out.right.data(), 8);
  const float left = 255.0f * (1.0f / 255.0f);
  const float right = 128.0f * (1.0f / 255.0f);
  for (int f = 0; f < 8; ++f) {
    const double value = 250.0 * f;
    EXPECT_EQ(out.left[f], static_cast<float>(value * left)) << f;
    EXPECT_EQ(out.right[f], static_cast<float>(value * right)) << f;
  }
  EXPECT_EQ(v.positionInt, 2);
}

TEST(MixerTest, SampleWithoutLoopEndsAtItsLastFrame) {
  TestSample s({100, 100, 100, 100});
  Voice v = Playing(&s.sample, 1.0);
  Mix out(10);
  MixVoice(v, out.left.data(), out.right.data(), 10);
  EXPECT_EQ(v.sample, nullptr);
  EXPECT_EQ(v.positionInt, 0);
  EXPECT_EQ(v.positionFrac, 0u);
  EXPECT_NE(out.left[3], 0.0f);
  for (int f = 4; f < 10; ++f) EXPECT_EQ(out.left[f], 0.0f) << f;
}

TEST(MixerTest, ForwardLoopWrapsAtItsEnd) {
  TestSample s({0, 1, 2, 3, 4, 5, 6, 7}, 1, 2, 6);
  Voice v = Playing(&s.sample, 1.0);
  Mix out(20);
  MixVoice(v, out.left.data(), out.right.data(), 20);
  // Frames 0..7, then 2..7 again, then 2..7 (20 frames).
  const int want[20] = {0, 1, 2, 3, 4, 5, 6, 7, 2, 3, 4, 5, 6, 7, 2, 3, 4, 5, 6, 7};
  for (int f = 0; f < 20; ++f) EXPECT_EQ(std::lround(out.left[f] * 255.0 / 255.0), want[f]) << f;
  EXPECT_EQ(v.positionInt, 2);
}

TEST(MixerTest, ForwardLoopOvershotByManyLengthsComesBackInside) {
  TestSample s({0, 1, 2, 3, 4, 5, 6, 7}, 1, 4, 3);  // loop 4..6
  for (double step : {2.5, 10.25, 300.0, 4000.0}) {
    Voice v = Playing(&s.sample, step);
    Mix out(200);
    MixVoice(v, out.left.data(), out.right.data(), 200);
    EXPECT_GE(v.positionInt, 3) << step;
    EXPECT_LT(v.positionInt, 7) << step;
    EXPECT_EQ(v.sample, &s.sample);
  }
}

TEST(MixerTest, PositionOnLoopEndLoopsAtOnce) {
  TestSample s({10, 20, 30, 40}, 1, 1, 3);
  Voice v = Playing(&s.sample, 1.0);
  v.positionInt = 4;  // exactly on the loop end
  Mix out(1);
  MixVoice(v, out.left.data(), out.right.data(), 1);
  EXPECT_NEAR(out.left[0], 20.0f, 0.01f);  // frame 1, after the wrap
  EXPECT_EQ(v.positionInt, 2);
}

TEST(MixerTest, PingPongReflectsAndStepsBackExactly) {
  TestSample s({0, 100, 200, 300, 400, 500}, 2, 1, 5);
  Voice v = Playing(&s.sample, 1.0);
  Mix out(12);
  MixVoice(v, out.left.data(), out.right.data(), 12);
  // Forward 0..5, then the reflection puts the position a hair below 6 and
  // it walks back by exactly -1.0 per frame.
  EXPECT_NEAR(out.left[5], 500.0f, 0.01f);
  EXPECT_EQ(v.backward, 0);  // reflected at the start again by frame 11
  std::vector<int> positions;
  Voice w = Playing(&s.sample, 1.0);
  for (int f = 0; f < 9; ++f) {
    float left = 0, right = 0;
    MixVoice(w, &left, &right, 1);
    positions.push_back(w.positionInt);
  }
  EXPECT_EQ(positions, (std::vector<int>{1, 2, 3, 4, 5, 5, 4, 3, 2}));
  EXPECT_EQ(w.positionFrac, 0xFFFFFFFEu);  // each frame clears the lowest bit first
  EXPECT_EQ(w.backward, 1);
}

TEST(MixerTest, PingPongShorterThanOneStepEndsInside) {
  TestSample s({0, 1, 2, 3, 4, 5, 6, 7}, 2, 3, 1);  // loop of one frame
  for (double step : {3.5, 1.75, 257.0}) {
    Voice v = Playing(&s.sample, step);
    Mix out(50);
    MixVoice(v, out.left.data(), out.right.data(), 50);
    EXPECT_EQ(v.positionInt, 3) << step;
    EXPECT_EQ(v.sample, &s.sample);
  }
}

TEST(MixerTest, NewNoteRampsUpOver128Frames) {
  std::vector<std::int16_t> frames(1000, 1000);
  TestSample s(frames);
  Voice v = Playing(&s.sample, 1.0, 128, 64);
  v.currentLeft = v.currentRight = 0;
  v.rampRemaining = 0;
  Mix out(200);
  MixVoice(v, out.left.data(), out.right.data(), 200);
  EXPECT_EQ(out.left[0], 0.0f);  // the first frame of a ramp uses the start gain
  EXPECT_GT(out.left[64], 0.0f);
  EXPECT_LT(out.left[64], out.left[127]);
  const float full = static_cast<float>(1000.0 * (128.0f * (1.0f / 255.0f)));
  EXPECT_EQ(out.left[150], full);
  EXPECT_EQ(v.rampRemaining, 0);
  EXPECT_EQ(v.currentLeft, 128);
  EXPECT_EQ(v.currentRight, 64);
  EXPECT_EQ(v.rampLeftDelta, 0.0f);
}

TEST(MixerTest, RampAcrossCallsRestartsFromRoundedGains) {
  std::vector<std::int16_t> frames(1000, 1000);
  TestSample s(frames);
  Voice v = Playing(&s.sample, 1.0, 200, 0);
  v.currentLeft = 0;
  Mix out(50);
  MixVoice(v, out.left.data(), out.right.data(), 50);
  EXPECT_EQ(v.rampRemaining, 78);
  const float delta = 200.0f * (1.0f / 32640.0f);
  EXPECT_EQ(v.rampLeftDelta, delta);
  // Cut short, the gain is rounded to the nearest step, not cut down (51
  // frames: 79.69 becomes 80).
  EXPECT_EQ(v.currentLeft, 78);
  for (const std::uint32_t frames : {1u, 51u, 77u, 127u}) {
    Voice w = Playing(&s.sample, 1.0, 200, 0);
    w.currentLeft = 0;
    Mix cut(frames);
    MixVoice(w, cut.left.data(), cut.right.data(), frames);
    EXPECT_EQ(w.currentLeft, static_cast<int>(std::nearbyint(frames * static_cast<double>(delta) / (1.0f / 255.0f))))
        << frames;
  }
  // Only one side changes: the other side gets a zero change.
  v.leftVolume = 100;
  MixVoice(v, out.left.data(), out.right.data(), 1);
  EXPECT_EQ(v.rampRemaining, 127);
  EXPECT_EQ(v.rampRightDelta, 0.0f);
  EXPECT_EQ(v.rampLeftTarget, 100);
}

TEST(MixerTest, LargeStepsStayInsideTheSample) {
  std::vector<std::int16_t> frames(5000, 300);
  TestSample once(frames);
  TestSample looped(frames, 1, 100, 4000);
  TestSample pingpong(frames, 2, 10, 3000);
  for (Sample* s : {&once.sample, &looped.sample, &pingpong.sample}) {
    for (double step : {255.9, 256.0, 1000.5, 48000.0}) {
      Voice v = Playing(s, step);
      Mix out(884);
      MixVoice(v, out.left.data(), out.right.data(), 884);
      if (v.sample != nullptr) {
        EXPECT_GE(v.positionInt, -1);
        EXPECT_LE(v.positionInt, static_cast<std::int32_t>(s->length));
      }
      for (const std::vector<float>* half : {&out.left, &out.right})
        for (float f : *half) ASSERT_TRUE(std::isfinite(f));
    }
  }
  // Four steps of 1000.5 end just short of the sample's end: it plays on.
  Voice v = Playing(&once.sample, 1000.5);
  Mix out(4);
  MixVoice(v, out.left.data(), out.right.data(), 4);
  EXPECT_EQ(v.sample, &once.sample);
  EXPECT_EQ(v.positionInt, 4002);
}

// Long chunks go through the wide loops (two or four frames at a time);
// single frames through the plain one. Both must agree to the bit, also at
// the extremes: full-scale jumps between neighbours, fractions just below
// one, steps with the lowest bit set, and frames mixed backwards.
TEST(MixerTest, FramesInPairsEqualFramesOneByOne) {
  std::vector<std::int16_t> frames;
  for (int i = 0; i < 300; ++i) frames.push_back(static_cast<std::int16_t>((i * 7919) % 65536 - 32768));
  for (int i = 0; i < 40; ++i) frames[100 + i] = (i % 2) ? 32767 : -32768;
  TestSample s(frames, 2, 17, 250);
  struct Case {
    double step;
    std::uint32_t fraction;
    std::uint32_t frameCount;
  };
  const Case cases[] = {{0.37, 0, 501},         {1.0, 0, 501},
                        {2.7183, 0, 501},       {0.999999999, 0xFFFFFFFFu, 777},
                        {1.0000000002, 1, 64},  {0.0001, 0x80000001u, 12},
                        {13.3, 0x7FFFFFFFu, 9}, {0.5, 0xFFFFFFFEu, 883}};
  for (const Case& c : cases) {
    Voice together = Playing(&s.sample, c.step, 201, 77);
    together.stepFrac |= 1;
    together.positionFrac = c.fraction;
    Voice single = together;
    Mix a(c.frameCount, 0.5f), b(c.frameCount, 0.5f);
    for (std::uint32_t f = 0; f < c.frameCount; ++f) a.left[f] = b.left[f] = static_cast<float>(f) * -1.25f;
    MixVoice(together, a.left.data(), a.right.data(), c.frameCount);
    for (std::uint32_t f = 0; f < c.frameCount; ++f) MixVoice(single, b.left.data() + f, b.right.data() + f, 1);
    EXPECT_TRUE(a == b) << c.step;
    EXPECT_EQ(together.positionInt, single.positionInt) << c.step;
    EXPECT_EQ(together.positionFrac, single.positionFrac) << c.step;
    EXPECT_EQ(together.backward, single.backward) << c.step;
  }
}

#ifdef ZEVORA_AVX2_PATHS
// The wide paths against the plain ones: 64 voices of every kind (fixed
// gains, ramps up and down, gains far outside the usual range, forward and
// ping-pong loops, one-shot samples, odd and huge steps) mixed over blocks
// of uneven lengths must give the same bits and leave the same voice state.
// `overwrite`: every block of the wide path overwrites a buffer full of
// rubbish, and the plain one mixes into a cleared buffer. `spans`: the
// samples have their spans (the plain path never reads them). Voices moved
// on without mixing must end up where the mixed ones do.
void CheckWidePathEqualsPlainOne(bool avx512, bool overwrite, bool spans) {
  Song& song = TestSong();
  Voice(&voices)[kVoiceCount] = song.voices;
  const auto wideOn = [&] { song.mixPath = avx512 ? MixPath::kAvx512 : MixPath::kAvx2; };
  wideOn();
  std::vector<std::int16_t> frames;
  for (int i = 0; i < 5000; ++i) frames.push_back(static_cast<std::int16_t>((i * 40503u) ^ (i >> 3)));
  for (int i = 0; i < 64; ++i) frames[2000 + i] = (i % 2) ? 32767 : -32768;
  // The tight forward loop wraps every few frames.
  TestSample once(frames), forward(frames, 1, 300, 4000), pingPong(frames, 2, 1000, 37), tight(frames, 1, 2500, 6);
  forward.sample.data[-1] = -1234;  // as a loop guard might leave it
  if (spans) {
    once.AddSpans();
    forward.AddSpans();
    pingPong.AddSpans();
    tight.AddSpans();
  }
  Sample* samples[] = {&once.sample, &forward.sample, &pingPong.sample, &tight.sample};
  // The last two differ by 1: a tiny ramp step on a huge gain, a ramp whose
  // running sums are rounded (the wide path leaves it to the plain one).
  const std::int32_t gains[] = {0, 1, 3, 64, 128, 200, 255, 256, 5000, 1 << 20, 1 << 30, (1 << 30) + 1};
  std::uint32_t seed = 12345;
  const auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  Voice start[kVoiceCount];
  for (int i = 0; i < kVoiceCount; ++i) {
    Voice& v = start[i];
    v = Playing(samples[i % 4], 0.0);
    v.stepInt = (i % 7 == 0) ? next() % 300 : next() % 3;
    v.stepFrac = next();
    v.positionInt = static_cast<std::int32_t>(next() % 4000);
    v.positionFrac = next();
    v.currentLeft = gains[next() % 12];
    v.currentRight = gains[next() % 12];
    v.leftVolume = v.rampLeftTarget = gains[next() % 12];
    v.rightVolume = v.rampRightTarget = gains[next() % 12];
  }
  // Fractions of 0 and 1 (steps of whole, half and quarter frames), where
  // the widest loop reads the entry before, and a first frame at -1.0.
  for (int i = 1; i < kVoiceCount; i += 4) {
    start[i].stepFrac = (i % 3 == 0) ? 0 : (i % 3 == 1 ? 0x80000000u : 0x40000000u);
    start[i].positionFrac = next() % 2;
  }
  start[1].positionInt = -1;
  start[1].currentLeft = start[1].leftVolume = start[1].rampLeftTarget = 64;
  start[1].currentRight = start[1].rightVolume = start[1].rampRightTarget = 64;
  Mix wide(2000), plain(2000);
  Voice plainVoices[kVoiceCount], skippedVoices[kVoiceCount];
  std::memcpy(voices, start, sizeof voices);
  std::memcpy(plainVoices, start, sizeof plainVoices);
  std::memcpy(skippedVoices, start, sizeof skippedVoices);
  for (std::uint32_t length : {884u, 1u, 7u, 128u, 129u, 1999u, 300u}) {
    if (overwrite) {
      wide = plain = Mix(2000);
      std::fill(wide.left.begin(), wide.left.begin() + length, -1.5e30f);
      std::fill(wide.right.begin(), wide.right.begin() + length, 3.0e38f);
    }
    MixVoices(song, wide.left.data(), wide.right.data(), length, overwrite);
    std::memcpy(start, voices, sizeof start);  // the wide result
    std::memcpy(voices, skippedVoices, sizeof voices);
    SkipVoices(song, length);
    std::memcpy(skippedVoices, voices, sizeof skippedVoices);
    std::memcpy(voices, plainVoices, sizeof voices);
    song.mixPath = MixPath::kPlain;
    MixVoices(song, plain.left.data(), plain.right.data(), length);
    wideOn();
    std::memcpy(plainVoices, voices, sizeof plainVoices);
    ASSERT_TRUE(wide == plain) << length;
    for (const Voice* other : {start, skippedVoices}) {
      for (int i = 0; i < kVoiceCount; ++i) {
        const Voice &a = other[i], &b = plainVoices[i];
        ASSERT_EQ(a.sample, b.sample) << i;
        ASSERT_EQ(a.positionInt, b.positionInt) << i;
        ASSERT_EQ(a.positionFrac, b.positionFrac) << i;
        ASSERT_EQ(a.backward, b.backward) << i;
        ASSERT_EQ(a.currentLeft, b.currentLeft) << i;
        ASSERT_EQ(a.currentRight, b.currentRight) << i;
        ASSERT_EQ(a.rampRemaining, b.rampRemaining) << i;
        ASSERT_EQ(a.rampLeftTarget, b.rampLeftTarget) << i;
        ASSERT_EQ(a.rampRightTarget, b.rampRightTarget) << i;
      }
    }
    std::memcpy(voices, start, sizeof voices);
    for (int i = 0; i < kVoiceCount; i += 5) {  // new gain targets now and then
      voices[i].leftVolume = plainVoices[i].leftVolume = skippedVoices[i].leftVolume = gains[next() % 12];
      voices[i].rightVolume = plainVoices[i].rightVolume = skippedVoices[i].rightVolume = gains[next() % 12];
    }
  }
  song.mixPath = DefaultMixPath();
}

TEST(MixerTest, WidePathsEqualPlainOnes) {
  if (MachineMixPath() < MixPath::kAvx2) GTEST_SKIP() << "no AVX2 on this processor";
  for (const bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite ? "overwriting" : "mixing into a mix");
    for (const bool spans : {false, true}) {
      SCOPED_TRACE(spans ? "with spans" : "from the frames");
      {
        SCOPED_TRACE("AVX2");
        CheckWidePathEqualsPlainOne(false, overwrite, spans);
      }
      if (MachineMixPath() == MixPath::kAvx512) {
        SCOPED_TRACE("AVX-512");
        CheckWidePathEqualsPlainOne(true, overwrite, spans);
      }
    }
  }
  if (MachineMixPath() < MixPath::kAvx512) GTEST_SKIP() << "no AVX-512 on this processor";
}
#endif

// Skipping (as a seek does) through short forward loops, where a voice
// meets a loop end every few frames and the number of frames between loop
// ends changes irregularly, and through gain ramps that start, run on
// across runs, end inside a run or are cut off by a run's end: after every
// run each skipped voice stands exactly where the mixed one does.
TEST(MixerTest, SkippingShortLoopsAndRampsEqualsMixing) {
  std::vector<std::int16_t> frames(400);
  for (int i = 0; i < 400; ++i) frames[i] = static_cast<std::int16_t>(i * 97 % 2001 - 1000);
  struct Case {
    std::uint32_t loopStart, loopLength;
    double step;
  };
  const Case cases[] = {{10, 3, 0.7071067811}, {0, 1, 0.25},         {100, 7, 1.0000000002}, {5, 13, 2.999999},
                        {50, 40, 0.123456789}, {200, 17, 5.3333333}, {1, 64, 1.5},           {300, 99, 0.9999999999},
                        {20, 6, 12.25},        {0, 2, 3.0}};
  // Run lengths as ticks and blocks cut them, and gain changes between
  // runs: a new ramp at most runs, some runs shorter than a ramp.
  const std::uint32_t runs[] = {882, 2, 130, 40, 884, 127, 1, 128, 600, 64, 129, 882};
  const std::int32_t gains[] = {0, 255, 37, 64, 200, 1, 255, 90, 90, 3, 128, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.step);
    TestSample s(frames, 1, c.loopStart, c.loopLength);
    s.AddSpans();
    Voice mixed = Playing(&s.sample, c.step, 0, 0);
    mixed.positionInt = static_cast<std::int32_t>(c.loopStart + c.loopLength / 2);
    mixed.positionFrac = 0x9E3779B9u;
    Voice skipped = mixed;
    Mix out(1000);
    for (std::size_t r = 0; r < std::size(runs); ++r) {
      SCOPED_TRACE(r);
      mixed.leftVolume = skipped.leftVolume = gains[r];
      mixed.rightVolume = skipped.rightVolume = gains[(r + 5) % std::size(gains)];
      MixVoice(mixed, out.left.data(), out.right.data(), runs[r]);
      SkipVoice(skipped, runs[r]);
      ASSERT_EQ(skipped.sample, mixed.sample);
      ASSERT_EQ(skipped.positionInt, mixed.positionInt);
      ASSERT_EQ(skipped.positionFrac, mixed.positionFrac);
      ASSERT_EQ(skipped.currentLeft, mixed.currentLeft);
      ASSERT_EQ(skipped.currentRight, mixed.currentRight);
      ASSERT_EQ(skipped.rampRemaining, mixed.rampRemaining);
      ASSERT_EQ(skipped.rampLeftTarget, mixed.rampLeftTarget);
      ASSERT_EQ(skipped.rampRightTarget, mixed.rampRightTarget);
      ASSERT_EQ(skipped.rampLeftDelta, mixed.rampLeftDelta);
      ASSERT_EQ(skipped.rampRightDelta, mixed.rampRightDelta);
    }
  }
}

TEST(MixerTest, SilentVoicesMoveExactlyLikeAudibleOnes) {
  std::vector<std::int16_t> frames(3000, 5);
  TestSample once(frames);
  TestSample looped(frames, 2, 100, 2000);
  for (Sample* s : {&once.sample, &looped.sample}) {
    for (double step : {0.123456789, 1.0000000002, 3.99999999}) {
      Voice silent = Playing(s, step, 0, 0);
      Voice audible = Playing(s, step, 3, 3);
      silent.positionFrac = audible.positionFrac = 0x12345677;  // odd: the lowest bit matters
      Mix a(884), b(884);
      for (int call = 0; call < 5; ++call) {
        MixVoice(silent, a.left.data(), a.right.data(), 884);
        MixVoice(audible, b.left.data(), b.right.data(), 884);
        EXPECT_EQ(silent.positionInt, audible.positionInt) << step;
        EXPECT_EQ(silent.positionFrac, audible.positionFrac) << step;
        EXPECT_EQ(silent.sample, audible.sample) << step;
      }
      ASSERT_TRUE(a == Mix(884));
    }
  }
}

// A released voice (its channel moved on) fades out like any other and then
// stops; one that is not released keeps moving in silence.
TEST(MixerTest, ReleasedVoiceStopsOnceFadedOut) {
  TestSample looped(std::vector<std::int16_t>(3000, 5), 1, 100, 2000);
  for (const int released : {0, 1}) {
    Voice v = Playing(&looped.sample, 0.7, 0, 0);
    v.currentLeft = 90;  // fading from 90 to 0
    v.released = released;
    Mix fade(884);
    EXPECT_TRUE(MixVoice(v, fade.left.data(), fade.right.data(), 884));
    EXPECT_NE(fade.left[127], 0.0f);
    EXPECT_EQ(fade.left[128], 0.0f);
    Mix after(884, 7.0f);
    EXPECT_FALSE(MixVoice(v, after.left.data(), after.right.data(), 884, true)) << released;
    EXPECT_TRUE(after == Mix(884, 7.0f)) << released;  // nothing written
    EXPECT_EQ(v.sample == nullptr, released == 1);
  }
}

TEST(MixerTest, ChunkStoppingPastTheBoundaryStillWraps) {
  TestSample s({1, 2, 3, 4, 5, 6, 7, 8}, 1, 0, 8);
  Voice v = Playing(&s.sample, 1.0);
  v.positionInt = 8;
  v.positionFrac = 5;  // a hair past the loop end
  Mix out(4);
  MixVoice(v, out.left.data(), out.right.data(), 4);
  EXPECT_EQ(v.positionInt, 4);
}

}  // namespace
