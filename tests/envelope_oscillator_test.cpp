#include <cstring>

#include "engine_fixture.h"

namespace {

Instrument WithVolumeEnvelope(std::vector<std::pair<int, int>> points, std::uint8_t flags, int sustain = 0,
                              int loopStart = 0, int loopEnd = 0) {
  Instrument in{};
  for (std::size_t i = 0; i < points.size(); ++i)
    in.volumeEnvelope[i] = {static_cast<std::uint16_t>(points[i].first), static_cast<std::uint16_t>(points[i].second)};
  in.volumePointCount = static_cast<std::uint8_t>(points.size());
  in.volumeEnvelopeFlags = flags;
  in.volumeSustainPoint = static_cast<std::uint8_t>(sustain);
  in.volumeLoopStart = static_cast<std::uint8_t>(loopStart);
  in.volumeLoopEnd = static_cast<std::uint8_t>(loopEnd);
  return in;
}

std::vector<int> Steps(Channel& c, const Instrument& in, int n) {
  std::vector<int> out;
  for (int i = 0; i < n; ++i) {
    if (c.volumeEnvelopeDone) break;
    StepEnvelope(c, in, kVolumeEnvelope);
    out.push_back(c.envelopeVolume);
  }
  return out;
}

TEST(EnvelopeTest, WorkedExample) {
  Channel c{};
  const Instrument in = WithVolumeEnvelope({{0, 64}, {10, 0}}, 1);
  const std::vector<int> want = {64, 57, 51, 44, 38, 32, 25, 19, 12, 6, 0};
  EXPECT_EQ(Steps(c, in, 20), want);
  EXPECT_EQ(c.volumeEnvelopeDone, 1);
  EXPECT_EQ(c.updateFlags & UpdateVolume, UpdateVolume);
}

TEST(EnvelopeTest, SustainHoldsUntilKeyOff) {
  Channel c{};
  const Instrument in = WithVolumeEnvelope({{0, 64}, {2, 32}, {4, 0}}, 3, 1);
  EXPECT_EQ(Steps(c, in, 6), (std::vector<int>{64, 48, 32, 32, 32, 32}));
  c.keyOff = 1;
  EXPECT_EQ(Steps(c, in, 6), (std::vector<int>{32, 16, 0}));
}

TEST(EnvelopeTest, LoopWinsOverSustainAndNeverShowsTheLoopEnd) {
  Channel c{};
  // Points 0 (0,0), 1 (2,40), 2 (4,20), 3 (6,64); loop 1..2, sustain 2.
  const Instrument in = WithVolumeEnvelope({{0, 0}, {2, 40}, {4, 20}, {6, 64}}, 7, 2, 1, 2);
  EXPECT_EQ(Steps(c, in, 9), (std::vector<int>{0, 20, 40, 30, 40, 30, 40, 30, 40}));
}

TEST(EnvelopeTest, LoopEndOnTheLastPointLoopsForever) {
  Channel c{};
  const Instrument in = WithVolumeEnvelope({{0, 10}, {1, 20}, {2, 30}}, 5, 0, 1, 2);
  EXPECT_EQ(Steps(c, in, 6), (std::vector<int>{10, 20, 20, 20, 20, 20}));
  EXPECT_EQ(c.volumeEnvelopeDone, 0);
}

TEST(EnvelopeTest, SustainOnTheLastPointFinishes) {
  Channel c{};
  const Instrument in = WithVolumeEnvelope({{0, 10}, {2, 50}}, 3, 1);
  EXPECT_EQ(Steps(c, in, 5), (std::vector<int>{10, 30, 50}));
  EXPECT_EQ(c.volumeEnvelopeDone, 1);
}

TEST(EnvelopeTest, EqualXKeepsTheFirstValue) {
  Channel c{};
  const Instrument in = WithVolumeEnvelope({{0, 40}, {0, 10}, {5, 0}}, 1);
  EXPECT_EQ(Steps(c, in, 4), (std::vector<int>{40, 40, 40, 40}));
}

TEST(EnvelopeTest, SetPositionPlacesTheEnvelope) {
  const Instrument in = WithVolumeEnvelope({{0, 64}, {10, 0}, {20, 32}}, 1);
  const struct {
    std::uint32_t position;
    int output, point, tick;
    bool done;
    int next;
  } cases[] = {
      {0, 64, 1, 0, false, 57},                              // the next step adds one slope
      {5, 32, 1, 5, false, 25},   {10, 0, 1, 10, false, 0},  // lands on point 1 at the next step
      {20, 31, 2, 20, false, 32},                            // end of the last segment: next step lands on it
      {25, 32, 2, -1, true, 32},                             // beyond the last point: finished
  };
  for (const auto& t : cases) {
    Channel c{};
    c.volumeEnvelopeTick = -1;
    SetEnvelopePosition(c, in, t.position);
    EXPECT_EQ(c.envelopeVolume, t.output) << t.position;
    EXPECT_EQ(c.volumeEnvelopePoint, t.point) << t.position;
    EXPECT_EQ(c.volumeEnvelopeTick, t.tick) << t.position;
    EXPECT_EQ(c.volumeEnvelopeDone != 0, t.done) << t.position;
    if (!t.done) {
      StepEnvelope(c, in, kVolumeEnvelope);
      EXPECT_EQ(c.envelopeVolume, t.next) << t.position;
    }
  }
}

TEST(EnvelopeTest, HugeValuesWrapWithoutUndefinedBehaviour) {
  Channel c{};
  const Instrument in = WithVolumeEnvelope({{0, 65535}, {1, 0}, {65535, 65535}, {0, 32768}}, 1);
  for (int i = 0; i < 200; ++i) StepEnvelope(c, in, kVolumeEnvelope);
  SetEnvelopePosition(c, in, 255);
  SUCCEED();
}

TEST(AutoVibratoTest, WaveformValues) {
  const struct {
    int type, position, value;
  } cases[] = {{0, 1, 2},     {0, 16, 24},  {0, 32, 45},   {0, 64, 64},  {0, 128, 0},  {0, 192, -64}, {0, 255, -2},
               {1, 0, 64},    {1, 127, 64}, {1, 128, -64}, {2, 0, 0},    {2, 1, -1},   {2, 127, -64}, {2, 128, 64},
               {2, 129, 63},  {2, 255, 0},  {3, 0, 0},     {3, 1, 0},    {3, 2, 1},    {3, 127, 63},  {3, 128, 64},
               {3, 129, -64}, {3, 255, -1}, {7, 2, 1},     {0, 320, 64}, {0, -64, -64}};
  // The last two positions lie outside the usual 0..255.
  for (const auto& t : cases)
    EXPECT_EQ(AutoVibratoWave(static_cast<std::uint8_t>(t.type), t.position), t.value) << t.type << " " << t.position;
}

TEST(AutoVibratoTest, SweepFadesIn) {
  Instrument in{};
  in.autoVibratoType = 1;  // square: +64
  in.autoVibratoDepth = 8;
  in.autoVibratoSweep = 4;
  Channel c{};
  std::vector<int> deltas;
  for (int t = 0; t < 6; ++t) {
    c.periodDelta = 0;
    ApplyAutoVibrato(c, in);
    deltas.push_back(c.periodDelta);
  }
  // m = 512; 0, 1/4, 2/4, 3/4, full, full; each >> 6.
  EXPECT_EQ(deltas, (std::vector<int>{0, 2, 4, 6, 8, 8}));
  EXPECT_EQ(c.autoVibratoTicks, 4);
}

TEST(AutoVibratoTest, DepthZeroStillAsksForPitchAndPositionWraps) {
  Instrument in{};
  in.autoVibratoRate = 200;
  Channel c{};
  c.periodDelta = 7;
  ApplyAutoVibrato(c, in);
  EXPECT_EQ(c.periodDelta, 7);
  EXPECT_EQ(c.updateFlags, UpdatePitch);
  EXPECT_EQ(c.autoVibratoPosition, 200);
  ApplyAutoVibrato(c, in);
  EXPECT_EQ(c.autoVibratoPosition, 144);
}

TEST(OscillatorTest, SineAmplitudes) {
  const int want[33] = {0,   25,  50,  74,  98,  121, 142, 162, 181, 198, 213, 226, 237, 245, 251, 255, 256,
                        255, 251, 245, 237, 226, 213, 198, 181, 162, 142, 121, 98,  74,  50,  25,  0};
  for (int p = -32; p <= 31; ++p) EXPECT_EQ(OscillatorAmplitude(0, static_cast<std::int8_t>(p)), want[p < 0 ? -p : p]);
}

TEST(OscillatorTest, RampAndSquareAmplitudes) {
  const struct { int phase, ramp; } cases[] = {{0, 0}, {1, 8}, {31, 248}, {-32, 255}, {-31, 247}, {-1, 7}};
  for (const auto& t : cases) EXPECT_EQ(OscillatorAmplitude(1, static_cast<std::int8_t>(t.phase)), t.ramp);
  EXPECT_EQ(OscillatorAmplitude(2, 5), 255);
}

TEST(OscillatorTest, VibratoDepthAndWaveforms) {
  const struct {
    int control, phase, depth, delta;
  } cases[] = {{2, 0, 15, -116},  {2, -5, 15, 116},  {3, 4, 15, -116},  // 3 is the square too
               {0, 16, 15, -120}, {0, -16, 15, 120}, {0, 16, 0, 0},    {1, -32, 8, 60}};
  for (const auto& t : cases) {
    Channel c{};
    c.waveControl = static_cast<std::uint8_t>(t.control);
    c.vibratoPosition = static_cast<std::int8_t>(t.phase);
    c.vibratoDepth = static_cast<std::uint8_t>(t.depth);
    ApplyVibrato(c);
    EXPECT_EQ(c.periodDelta, t.delta) << t.control << " " << t.phase;
    EXPECT_EQ(c.updateFlags, UpdatePitch);
    EXPECT_EQ(c.vibratoPosition, t.phase);  // the phase does not move here
  }
}

TEST(OscillatorTest, PhaseWraps) {
  const struct { int phase, speed, next; } cases[] = {{31, 1, -32}, {30, 15, -19}, {-32, 15, -17}, {0, 0, 0}};
  for (const auto& t : cases) {
    Channel c{};
    c.vibratoPosition = static_cast<std::int8_t>(t.phase);
    c.vibratoSpeed = static_cast<std::uint8_t>(t.speed);
    AdvanceVibrato(c);
    EXPECT_EQ(c.vibratoPosition, t.next);
    c.tremoloPosition = static_cast<std::int8_t>(t.phase);
    c.tremoloSpeed = static_cast<std::uint8_t>(t.speed);
    ApplyTremolo(c);
    EXPECT_EQ(c.tremoloPosition, t.next);
  }
}

TEST(OscillatorTest, TremoloLimits) {
  const struct {
    int control, volume, phase, delta;
  } cases[] = {{0, 64, 16, 0},     {0, 64, -16, -60},  {0, 0, -16, 0},    {0, 0, 16, 60},
               {0, 200, 16, -136}, {0x30, 10, 16, 54}, {0x20, 32, 3, 32}, {0x10, 30, -32, -30}};
  for (const auto& t : cases) {
    Channel c{};
    c.waveControl = static_cast<std::uint8_t>(t.control);
    c.volume = t.volume;
    c.tremoloPosition = static_cast<std::int8_t>(t.phase);
    c.tremoloDepth = 15;
    ApplyTremolo(c);
    EXPECT_EQ(c.volumeDelta, t.delta) << t.control << " " << t.volume << " " << t.phase;
    EXPECT_EQ(c.updateFlags, UpdateVolume);
  }
}

}  // namespace
