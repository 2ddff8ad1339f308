#include "engine_fixture.h"
#include "memory_sound_buffer.h"
#include "simd.h"

namespace {

TEST(ConvertSampleTest, RoundsHalfToEvenAndClamps) {
  const struct {
    float in;
    std::int16_t out;
  } cases[] = {{0.5f, 0},         {1.5f, 2},           {2.5f, 2},         {-0.5f, 0},          {-1.5f, -2},
               {40000.0f, 32767}, {-40000.0f, -32768}, {32767.5f, 32767}, {-32768.5f, -32768}, {123.4f, 123}};
  for (const auto& c : cases) EXPECT_EQ(ConvertSample(c.in), c.out) << c.in;
  // The block conversion gives the same in all its parts (8, 4 and 1
  // frames at a time) and interleaves the two halves of the mix: 43 values,
  // the last one a lone left value.
  std::vector<float> in;
  for (int r = 0; r < 4; ++r)
    for (const auto& c : cases) in.push_back(c.in);
  in.push_back(1e30f);
  in.push_back(-1e30f);
  in.push_back(-32768.5f);
  std::vector<float> left, right;
  for (std::size_t i = 0; i < in.size(); ++i) (i % 2 == 0 ? left : right).push_back(in[i]);
  right.push_back(0.0f);
  // Every path the processor has: AVX2, SSE2.
  for (const MixPath path : {MixPath::kAvx2, MixPath::kPlain}) {
    std::vector<std::int16_t> out(in.size());
    ConvertBlock(left.data(), right.data(), out.data(), static_cast<std::uint32_t>(in.size()), path);
    for (std::size_t i = 0; i < in.size(); ++i)
      EXPECT_EQ(out[i], ConvertSample(in[i])) << static_cast<int>(path) << " " << in[i];
  }
}

TEST(SetBpmTest, TickLengths) {
  ModuleState state{};
  const struct {
    std::uint32_t bpm;
    std::int32_t frames;
  } cases[] = {{0, 110250}, {125, 882}, {255, 432}, {32, 3445}, {65535, 1}};
  for (const auto& c : cases) {
    PlayerSetBpm(state, c.bpm);
    EXPECT_EQ(state.samplesPerTick, c.frames) << c.bpm;
  }
}

// At another rate each tick ends at the frame nearest to where it ends at
// 44,100 Hz: 140 BPM is 787 frames a tick at 44,100 Hz, so at 48,000 Hz the
// ticks end at 856.5, 1713.1, 2569.6, 3426.1, 4282.7 rounded.
TEST(SetBpmTest, TicksAtOtherRatesKeepTheTime) {
  const struct {
    std::uint32_t rate, bpm;
    std::vector<std::uint32_t> frames;
  } cases[] = {{44100, 140, {787, 787, 787}},      {48000, 140, {857, 856, 857, 856, 857}},
               {48000, 125, {960, 960, 960}},      {22050, 255, {216, 216, 216}},
               {8000, 65535, {0, 0, 1, 0, 0, 0}}, {192000, 0, {480000, 480000}}};
  for (const auto& c : cases) {
    ModuleState state{};
    state.rate = c.rate;
    PlayerSetBpm(state, c.bpm);
    std::vector<std::uint32_t> got;
    for (std::size_t i = 0; i < c.frames.size(); ++i) got.push_back(NextTickFrames(state));
    EXPECT_EQ(got, c.frames) << c.rate << " Hz, " << c.bpm << " BPM";
  }
}

// A frame at 44,100 Hz comes to the nearest frame at another rate (halves
// up), exactly for every 64-bit frame: also where the product with the rate
// no longer fits in 64 bits (from about 9.6e13 frames at 192,000 Hz); past
// 2^64 the result wraps.
TEST(SetBpmTest, FramesAtOtherRatesAreExactForEveryFrame) {
  const struct {
    std::uint64_t frame;
    std::uint32_t rate;
    std::uint64_t expected;
  } cases[] = {{0u, 48000u, 0u},
               {1u, 48000u, 1u},
               {44099u, 192000u, 191996u},
               {123456789u, 22050u, 61728395u},
               {1099511640121u, 48000u, 1196747363397u},
               {96076792050570581u, 192000u, 418293516410647427u},
               {9223372037842430129u, 48000u, 10039044394930536195u},
               {18446744073709551615u, 192000u, 6525378856006099887u},
               {18446744073709551615u, 8000u, 3346348131285179431u}};
  for (const auto& c : cases) EXPECT_EQ(FrameAtRate(c.frame, c.rate), c.expected) << c.frame << " at " << c.rate;
}

// Many ticks at once (as a song's end is found, a row at a time) come to
// what they come to one by one, at every rate and from any tick clock.
TEST(SetBpmTest, ManyTicksAtOnceAddUpAsOneByOne) {
  for (const std::uint32_t rate : {44100u, 48000u, 8000u, 22050u, 192000u, 96001u}) {
    for (const std::uint32_t bpm : {140u, 32u, 255u, 0u}) {
      for (const std::uint64_t ticks : {1u, 6u, 31u, 497u}) {
        ModuleState one{}, many{};
        one.rate = many.rate = rate;
        one.tickClock = many.tickClock = 123457;
        PlayerSetBpm(one, bpm);
        PlayerSetBpm(many, bpm);
        std::uint64_t frames = 0;
        for (std::uint64_t t = 0; t < ticks; ++t) frames += NextTickFrames(one);
        EXPECT_EQ(NextTicksFrames(many, ticks), frames) << rate << " Hz, " << bpm << " BPM, " << ticks << " ticks";
        EXPECT_EQ(many.tickClock, one.tickClock);
      }
    }
  }
}

// A player that streams the test's song (which it only borrows).
class RendererTest : public EngineTest {
 protected:
  void StartWithBuffer(const XmModule& m) {
    Start(m);
    player.song = song_;
    player.soundBuffer = &buffer;
    player.writeBlock = 0;
  }
  void TearDown() override {
    player.song = nullptr;
    player.soundBuffer = nullptr;
    EngineTest::TearDown();
  }
  HRESULT RenderBlock() { return ::RenderBlock(player); }
  PositionLogEntry ReadPositionLog(std::uint32_t index) { return ::ReadPositionLog(player, index); }
  MemorySoundBuffer buffer;
  Player player;
};

TEST_F(RendererTest, TickBoundariesMoveTwoFramesPerBlockAt125Bpm) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.bpm = 125;
  StartWithBuffer(m);
  // Block 0 runs 882 + 2 frames (20 + 0 ms); block 1 runs 880 + 4 (19 + 0):
  // each run's remainder is dropped.
  const std::int32_t wantLeft[] = {880, 878, 876, 874};
  const std::uint32_t wantMs[] = {20, 19, 19, 19};
  for (int b = 0; b < 4; ++b) {
    const std::uint32_t before = moduleState.elapsedMs;
    ASSERT_GE(RenderBlock(), 0);
    EXPECT_EQ(moduleState.samplesLeftInTick, wantLeft[b]);
    EXPECT_EQ(moduleState.elapsedMs - before, wantMs[b]);
  }
  EXPECT_EQ(player.writeBlock, 4u);
}

TEST_F(RendererTest, ElapsedTimeDropsEachRunsRemainder) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.bpm = 255;  // 432 frames per tick: runs of 432, 432, 20 then 412, 432, 40 ...
  StartWithBuffer(m);
  ASSERT_GE(RenderBlock(), 0);
  EXPECT_EQ(moduleState.elapsedMs, 432u * 10 / 441 * 2 + 20u * 10 / 441);
}

TEST_F(RendererTest, BpmZeroIsOneTickOf110250Frames) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.bpm = 0;
  StartWithBuffer(m);
  ASSERT_GE(RenderBlock(), 0);
  EXPECT_EQ(moduleState.samplesLeftInTick, 110250 - 884);
}

TEST_F(RendererTest, SongRestartsAtRestartPosition) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.patterns.resize(3);
  for (auto& p : m.patterns) p.rows = 2;
  m.orders = {0, 1, 2};
  m.restart = 1;
  m.tempo = 1;
  StartWithBuffer(m);
  std::vector<std::pair<int, int>> seen;
  for (int t = 0; t < 8; ++t) {
    Tick();
    seen.emplace_back(moduleState.orderPosition, moduleState.row);
  }
  const std::vector<std::pair<int, int>> want = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}, {1, 0}, {1, 1}};
  EXPECT_EQ(seen, want);
}

TEST_F(RendererTest, PatternDelayLengthensTheRow) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.At(0, 0, 0) = {0, 0, 0, 0xE, 0xE2};  // EE2 at speed 6: 12 more ticks
  StartWithBuffer(m);
  int ticksOnRow0 = 0;
  do {
    Tick();
    ++ticksOnRow0;
  } while (moduleState.tick != 0);
  EXPECT_EQ(ticksOnRow0, 18);
  EXPECT_EQ(moduleState.patternDelayTicks, 0);
  Tick();
  EXPECT_EQ(moduleState.row, 1);
}

TEST_F(RendererTest, BreakAndJumpTargets) {
  struct Case {
    const char* name;
    Cell first, second;
    int order, row;
  } cases[] = {
      {"D63", {0, 0, 0, 0xD, 0x63}, {}, 1, 63},
      {"D64 is row 0", {0, 0, 0, 0xD, 0x64}, {}, 1, 0},
      {"DA0 is row 0", {0, 0, 0, 0xD, 0xA0}, {}, 1, 0},
      {"D10 then B05", {0, 0, 0, 0xD, 0x10}, {0, 0, 0, 0xB, 5}, 5, 0},
      {"B05 then D10", {0, 0, 0, 0xB, 5}, {0, 0, 0, 0xD, 0x10}, 5, 10},
      {"B to song length goes to 0", {0, 0, 0, 0xB, 6}, {}, 0, 0},
  };
  for (const Case& c : cases) {
    XmModule m = OneInstrumentModule(LoopedSample(), 2);
    m.orders = {0, 0, 0, 0, 0, 0};
    m.At(0, 0, 0) = c.first;
    m.At(0, 0, 1) = c.second;
    m.tempo = 1;
    StartWithBuffer(m);
    Ticks(2);
    EXPECT_EQ(moduleState.orderPosition, c.order) << c.name;
    EXPECT_EQ(moduleState.row, c.row) << c.name;
    PlayerStop();
  }
}

TEST_F(RendererTest, PatternLoopPlaysRowsThreeTimes) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.At(0, 4, 0) = {0, 0, 0, 0xE, 0x60};
  m.At(0, 8, 0) = {0, 0, 0, 0xE, 0x62};
  m.tempo = 1;
  StartWithBuffer(m);
  std::vector<int> rows;
  for (int t = 0; t < 20; ++t) {
    Tick();
    rows.push_back(moduleState.row);
  }
  const std::vector<int> want = {0, 1, 2, 3, 4, 5, 6, 7, 8, 4, 5, 6, 7, 8, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(rows, want);
  EXPECT_EQ(channels[0].patternLoopCount, 0);
}

TEST_F(RendererTest, RowsBeyondThePatternPlayEmpty) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.patterns.resize(2);
  m.patterns[1].rows = 4;
  m.orders = {0, 1};
  m.At(0, 0, 0) = {0, 0, 0, 0xD, 0x40};  // row 40 of a 4-row pattern
  m.tempo = 1;
  StartWithBuffer(m);
  Ticks(2);
  EXPECT_EQ(moduleState.orderPosition, 1);
  EXPECT_EQ(moduleState.row, 40);
  Tick();
  EXPECT_EQ(moduleState.orderPosition, 0);
  EXPECT_EQ(moduleState.row, 0);
}

TEST_F(RendererTest, LockFailureKeepsTheBlockAndLogsThePosition) {
  StartWithBuffer(OneInstrumentModule(LoopedSample()));
  buffer.FailLocks(1);
  EXPECT_LT(RenderBlock(), 0);
  EXPECT_EQ(player.writeBlock, 0u);
  EXPECT_EQ(ReadPositionLog(0).elapsedMs, 20u);
  EXPECT_GE(RenderBlock(), 0);
  EXPECT_EQ(player.writeBlock, 1u);
  EXPECT_EQ(ReadPositionLog(0).elapsedMs, 39u);  // the music went on: 20 + 19
}

TEST_F(RendererTest, ShortLockConvertsOnlyWhatItGot) {
  StartWithBuffer(OneInstrumentModule(LoopedSample()));
  buffer.LimitLocks(1);
  EXPECT_GE(RenderBlock(), 0);
  EXPECT_EQ(player.writeBlock, 0u);
  buffer.LimitLocks(100);
  EXPECT_GE(RenderBlock(), 0);
  EXPECT_EQ(player.writeBlock, 1u);
}

}  // namespace
