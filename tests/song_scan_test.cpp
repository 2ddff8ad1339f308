// Where songs end: crafted modules, one way of moving through the song each,
// and every corpus module, checked against the full sequencer and replayer
// and against what the renderer plays.
#include "song_scan.h"

#include <chrono>
#include <set>
#include <tuple>

#include "engine_fixture.h"
#include "memory_sound_buffer.h"
#include "offline_render.h"

namespace {

constexpr std::uint64_t kTick125 = 882;  // frames per tick at 125 BPM

Cell Effect(std::uint8_t effect, std::uint8_t parameter) { return {0, 0, 0, effect, parameter}; }

// A module of `patterns` patterns of `rows` rows on `channels` channels.
XmModule SongModule(int patterns, std::uint16_t rows, std::uint16_t channels = 1) {
  XmModule m = OneInstrumentModule(LoopedSample(), channels);
  m.patterns.assign(static_cast<std::size_t>(patterns), XmPattern{});
  m.orders.clear();
  for (int p = 0; p < patterns; ++p) {
    m.patterns[static_cast<std::size_t>(p)].rows = rows;
    m.orders.push_back(static_cast<std::uint8_t>(p));
  }
  return m;
}

class SongScanTest : public EngineTest {
 protected:
  // The pass ends as the whole sequencer and replayer see them: row starts
  // recorded tick by tick, with every channel's loop count.
  std::vector<std::uint64_t> PassEndsByPlaying(const XmModule& module, std::size_t passes,
                                               std::pair<int, int>* loopPoint = nullptr) {
    Start(module);
    std::vector<std::uint64_t> ends;
    std::set<std::vector<std::int32_t>> seen;
    std::uint64_t frame = 0;
    ModuleState& m = moduleState;
    for (int ticks = 0; ticks < 5000000 && ends.size() < passes; ++ticks) {
      if (m.tick == 0) {
        std::vector<std::int32_t> key = {m.pendingOrder >= 0 ? m.pendingOrder : m.orderPosition,
                                         m.pendingRow >= 0 ? m.pendingRow : m.row};
        for (int c = 0; c < m.channelCount; ++c) key.push_back(channels[c].patternLoopCount);
        if (!seen.insert(key).second) {
          if (ends.empty() && loopPoint) *loopPoint = {key[0], key[1]};
          ends.push_back(frame);
          seen = {key};
        }
      }
      Tick();
      frame += static_cast<std::uint32_t>(m.samplesPerTick);
    }
    PlayerStop();
    return ends;
  }
};

TEST_F(SongScanTest, CraftedSongsEndWhereTheSequencerRepeatsARowStart) {
  struct Case {
    const char* name;
    XmModule module;
    std::uint64_t frames;  // duration, worked out by hand
    int loopOrder, loopRow;
  };
  std::vector<Case> cases;
  cases.push_back({"four rows", SongModule(1, 4), 4 * 6 * kTick125, 0, 0});
  {
    // Rows 1 and 2 play three times: 0 1 2 1 2 1 2 3.
    XmModule m = SongModule(1, 4);
    m.At(0, 1, 0) = Effect(0xE, 0x60);
    m.At(0, 2, 0) = Effect(0xE, 0x62);
    cases.push_back({"pattern loop inside the pass", m, 8 * 6 * kTick125, 0, 0});
  }
  {
    XmModule m = SongModule(2, 4);
    m.At(1, 3, 0) = Effect(0xB, 0x01);
    cases.push_back({"B jumps back to order 1", m, 8 * 6 * kTick125, 1, 0});
  }
  {
    XmModule m = SongModule(2, 4);
    m.At(0, 1, 0) = Effect(0xD, 0x02);  // to row 2 of order 1
    m.At(1, 3, 0) = Effect(0xB, 0x00);
    cases.push_back({"D breaks to a later row", m, 4 * 6 * kTick125, 0, 0});
  }
  {
    XmModule m = SongModule(3, 4);
    m.restart = 1;
    cases.push_back({"restart position", m, 12 * 6 * kTick125, 1, 0});
  }
  {
    XmModule m = SongModule(1, 4);
    m.At(0, 0, 0) = Effect(0xF, 0x00);
    cases.push_back({"speed 0: one tick a row", m, 4 * kTick125, 0, 0});
  }
  {
    // Speed 3 from row 1, BPM 250 from row 2, a pattern delay of 2 rows on row 3.
    XmModule m = SongModule(1, 4);
    m.At(0, 1, 0) = Effect(0xF, 3);
    m.At(0, 2, 0) = Effect(0xF, 250);
    m.At(0, 3, 0) = Effect(0xE, 0xE2);
    cases.push_back({"speed, tempo and pattern delay", m, 6 * 882 + 3 * 882 + 3 * 441 + 9 * 441, 0, 0});
  }
  {
    // Channel 0 loops rows 0-1 twice, channel 1 loops rows 0-2 once, so
    // row 1 ends channel 0's loop with channel 1's still to come.
    XmModule m = SongModule(1, 4, 2);
    m.At(0, 0, 0) = Effect(0xE, 0x60);
    m.At(0, 0, 1) = Effect(0xE, 0x60);
    m.At(0, 1, 0) = Effect(0xE, 0x62);
    m.At(0, 2, 1) = Effect(0xE, 0x61);
    // 0 1 0 1 0 1 2 | 0 1 0 1 0 1 2 | 3
    cases.push_back({"two channels' loop counts together", m, 15 * 6 * kTick125, 0, 0});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::pair<int, int> loopPoint{-1, -1};
    const auto played = PassEndsByPlaying(c.module, 2, &loopPoint);
    ASSERT_TRUE(Load(c.module));
    const SongScan scan = ScanSong(*song_, 2);
    FreeModule();
    ASSERT_TRUE(scan.Ended());
    EXPECT_EQ(scan.passEnds[0], c.frames);
    EXPECT_EQ(scan.passEnds, played);
    EXPECT_EQ(scan.loopOrder, c.loopOrder);
    EXPECT_EQ(scan.loopRow, c.loopRow);
    EXPECT_EQ(loopPoint, std::make_pair(c.loopOrder, c.loopRow));
  }
}

TEST_F(SongScanTest, CorpusModulesEndWhereTheirSequencerRepeats) {
  for (const std::string& file : CorpusFiles()) {
    SCOPED_TRACE(file);
    const auto bytes = ReadFile(file);
    ASSERT_TRUE(Load(bytes));
    const SongScan scan = ScanSong(*song_, 3);
    FreeModule();
    // The replayer's own run over the same bytes.
    ASSERT_TRUE(Load(bytes));
    std::set<std::vector<std::int32_t>> seen;
    std::vector<std::uint64_t> ends;
    std::uint64_t frame = 0;
    ModuleState& m = moduleState;
    while (ends.size() < 3 && frame < 3600ull * 44100) {
      if (m.tick == 0) {
        std::vector<std::int32_t> key = {m.pendingOrder >= 0 ? m.pendingOrder : m.orderPosition,
                                         m.pendingRow >= 0 ? m.pendingRow : m.row};
        for (int c = 0; c < m.channelCount; ++c) key.push_back(channels[c].patternLoopCount);
        if (!seen.insert(key).second) {
          ends.push_back(frame);
          seen = {key};
        }
      }
      AdvanceTick(*song_);
      frame += static_cast<std::uint32_t>(m.samplesPerTick);
    }
    FreeModule();
    EXPECT_EQ(scan.passEnds, ends);
  }
}

TEST_F(SongScanTest, ScanLeavesAPlayingModuleAlone) {
  // E5 writes into the sample record; the scan runs no effect of that kind.
  XmModule m = SongModule(1, 4);
  m.At(0, 0, 0) = {kC4, 1, 0, 0xE, 0x57};
  const auto bytes = m.Build();
  MemorySoundBuffer buffer;
  ASSERT_GE(PlayerPrepare(bytes.data(), bytes.size(), kSourceMemory, &buffer), 0);
  const ::Song& playing = *DefaultPlayer().song;
  const ModuleState before = playing.module;
  const std::int8_t finetune = playing.module.instruments[0].samples[0]->finetune;
  const SongScan scan = ScanSong(playing, 4);
  EXPECT_EQ(scan.passEnds.size(), 4u);
  EXPECT_EQ(playing.module.instruments[0].samples[0]->finetune, finetune);
  EXPECT_EQ(playing.module.row, before.row);
  EXPECT_EQ(playing.module.tick, before.tick);
  EXPECT_EQ(playing.module.speed, before.speed);
  PlayerStop();
}

TEST_F(SongScanTest, FindsTheFirstStartOfARow) {
  XmModule m = SongModule(2, 4);
  m.At(0, 1, 0) = Effect(0xF, 3);  // rows after row 0 last 3 ticks
  ASSERT_TRUE(Load(m));
  SongScan scan = ScanSong(*song_, 1, 1, 2);
  EXPECT_TRUE(scan.rowFound);
  EXPECT_EQ(scan.rowFrame, (6 + 3 * 3 + 2 * 3) * kTick125);
  scan = ScanSong(*song_, 1, 5, 0);  // order 5 is never played
  EXPECT_FALSE(scan.rowFound);
  FreeModule();
}

TEST_F(SongScanTest, NestedLoopsBeyondTheRowLimitHaveNoEnd) {
  // Six channels' loops nest like the wheels of a counter: 16^6 row starts,
  // every one with other loop counts, before the song comes round.
  XmModule m = SongModule(1, 8, 6);
  for (std::uint16_t c = 0; c < 6; ++c) {
    m.At(0, 0, c) = Effect(0xE, 0x60);
    m.At(0, static_cast<std::uint16_t>(c + 1), c) = Effect(0xE, 0x6F);
  }
  ASSERT_TRUE(Load(m));
  const auto start = std::chrono::steady_clock::now();
  const SongScan scan = ScanSong(*song_, 1);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(scan.Ended());
  std::printf("scan of %u row starts: %.3f s\n", kMaxPassRows, seconds);
  FreeModule();
  // Four wheels (16^4 row starts) still end, where playing repeats a row
  // start, in the second pass too.
  XmModule four = SongModule(1, 8, 4);
  for (std::uint16_t c = 0; c < 4; ++c) {
    four.At(0, 0, c) = Effect(0xE, 0x60);
    four.At(0, static_cast<std::uint16_t>(c + 1), c) = Effect(0xE, 0x6F);
  }
  ASSERT_TRUE(Load(four));
  const SongScan ends = ScanSong(*song_, 2);
  FreeModule();
  ASSERT_TRUE(ends.Ended());
  EXPECT_EQ(ends.passEnds, PassEndsByPlaying(four, 2));
}

TEST_F(SongScanTest, RenderEndsInSilenceAtTheSongEnd) {
  // Playback with an end: every frame from the end on is zero, every frame
  // before it the same as without an end.
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty());
  const auto bytes = ReadFile(files[0]);
  const std::uint64_t end = 3 * 884 + 500;
  MemorySoundBuffer with, without;
  ASSERT_GE(PlayerPrepareFrom(bytes.data(), bytes.size(), kSourceMemory, &with, 0, end), 0);
  PlayerStop();
  ASSERT_GE(PlayerPrepare(bytes.data(), bytes.size(), kSourceMemory, &without), 0);
  PlayerStop();
  const auto* a = reinterpret_cast<const std::int16_t*>(with.Ring());
  const auto* b = reinterpret_cast<const std::int16_t*>(without.Ring());
  int differing = 0, loudAfterEnd = 0;
  for (std::uint64_t k = 0; k < 2 * 10 * 884; ++k) {
    if (k < 2 * end) differing += a[k] != b[k];
    else loudAfterEnd += a[k] != 0;
  }
  EXPECT_EQ(differing, 0);
  EXPECT_EQ(loudAfterEnd, 0);
}

TEST_F(SongScanTest, StartAnywhereGivesTheFramesOfAWholeRender) {
  // Start points on a block boundary, on a tick boundary, and between.
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty());
  const auto bytes = ReadFile(files.back());
  const std::uint64_t total = 150 * 884;
  std::vector<std::int16_t> whole;
  RenderOfflineFrames(bytes.data(), bytes.size(), kSourceMemory, 0, total,
                      [&](std::uint64_t, const std::int16_t* pcm, std::uint32_t n, PositionLogEntry) {
                        whole.insert(whole.end(), pcm, pcm + 2 * n);
                        return true;
                      });
  ASSERT_EQ(whole.size(), 2 * total);
  for (const std::uint64_t start : {std::uint64_t{884} * 7, std::uint64_t{882} * 13, std::uint64_t{1},
                                    std::uint64_t{44100} + 333, total - 5}) {
    SCOPED_TRACE(start);
    std::vector<std::int16_t> tail;
    RenderOfflineFrames(bytes.data(), bytes.size(), kSourceMemory, start, total - start,
                        [&](std::uint64_t, const std::int16_t* pcm, std::uint32_t n, PositionLogEntry) {
                          tail.insert(tail.end(), pcm, pcm + 2 * n);
                          return true;
                        });
    ASSERT_EQ(tail.size(), 2 * (total - start));
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.begin() + static_cast<std::ptrdiff_t>(2 * start)));
  }
}

}  // namespace
