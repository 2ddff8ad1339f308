#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "engine_fixture.h"
#include "failing_new.h"
#include "memory_sound_buffer.h"
#include "resources.h"
#include "stream_thread.h"

namespace {

class PlayerTest : public EngineTest {
 protected:
  std::vector<std::uint8_t> Module() { return OneInstrumentModule(LoopedSample()).Build(); }
  MemorySoundBuffer buffer;
  Player& player = DefaultPlayer();
};

TEST_F(PlayerTest, PlaysFromMemoryAndStops) {
  const auto bytes = Module();
  EXPECT_GE(PlayerPlay(bytes.data(), bytes.size(), kSourceMemory, &buffer), 0);
  EXPECT_EQ(buffer.LockCount(), 100);
  EXPECT_TRUE(buffer.Playing());
  EXPECT_EQ(player.threadRunning.load(), 1);
  ASSERT_NE(player.song, nullptr);
  EXPECT_EQ(PlayerStop(), E_INVALIDARG);
  EXPECT_EQ(player.threadRunning.load(), 0);
  EXPECT_FALSE(buffer.Playing());
  EXPECT_EQ(buffer.PlayCursor(), 0u);
  EXPECT_EQ(player.song, nullptr);
  EXPECT_EQ(PlayerGetTime(), 0u);
  EXPECT_EQ(PlayerGetPosition(), 0u);
  // A second stop frees nothing and says the same.
  EXPECT_EQ(PlayerStop(), E_INVALIDARG);
  // Nothing is left to render, on this player or on one never used.
  EXPECT_EQ(RenderBlock(), E_INVALIDARG);
  Player unused;
  EXPECT_EQ(RenderBlock(unused), E_INVALIDARG);
}

TEST_F(PlayerTest, FailuresLeaveTheEngineIdle) {
  const auto good = Module();
  XmModule tooMany = OneInstrumentModule(LoopedSample());
  tooMany.instruments[0].samples.assign(17, LoopedSample(4));
  const auto bad = tooMany.Build();
  const std::vector<std::uint8_t> shortBlock(good.begin(), good.begin() + 3);
  struct Case {
    const char* name;
    const void* source;
    std::uintptr_t param;
    std::int32_t kind;
  } cases[] = {
      {"null source", nullptr, 0, kSourceMemory},
      {"17 samples", bad.data(), bad.size(), kSourceMemory},
      {"memory of size 0", good.data(), 0, kSourceMemory},
      {"block shorter than the signature", shortBlock.data(), shortBlock.size(), kSourceMemory},
      {"resource not found", "NO_SUCH_RESOURCE", 0, kSourceResource},
      {"resource id not found", reinterpret_cast<const void*>(std::uintptr_t{7}), 0, kSourceResource},
      {"missing file", "/nonexistent/zevora.xm", 0, kSourceFile},
      {"kind 5 reads a file", "/nonexistent/zevora.xm", 0, 5},
  };
  for (const Case& c : cases) {
    buffer.SetPlayCursor(5000);
    // Something plays first: a failed start stops it.
    ASSERT_GE(PlayerPlay(good.data(), good.size(), kSourceMemory, &buffer), 0);
    EXPECT_EQ(PlayerPlay(c.source, c.param, c.kind, &buffer), E_INVALIDARG) << c.name;
    EXPECT_EQ(player.threadRunning.load(), 0) << c.name;
    EXPECT_FALSE(buffer.Playing()) << c.name;
    EXPECT_EQ(buffer.PlayCursor(), 0u) << c.name;
    EXPECT_EQ(player.song, nullptr) << c.name;
  }
}

TEST_F(PlayerTest, ShortMemoryBlockLoadsWhatItHas) {
  XmModule m = OneInstrumentModule(LoopedSample(2000));
  const auto full = m.Build();
  const std::vector<std::uint8_t> part(full.begin(), full.end() - 1500);
  EXPECT_GE(PlayerPlay(part.data(), part.size(), kSourceMemory, &buffer), 0);
  EXPECT_EQ(player.song->module.instruments[0].samples[0]->length, 500u);
}

TEST_F(PlayerTest, PlaysTheBuiltInDemoAsAResource) {
  EXPECT_GE(PlayerPlay(kDemoModuleName, 0, kSourceResource, &buffer), 0);
  ASSERT_NE(player.song, nullptr);
  EXPECT_GE(player.song->module.channelCount, 4);
  bool sound = false;
  for (std::uint32_t i = 0; i < kRingBytes && !sound; ++i) sound = buffer.Ring()[i] != 0;
  EXPECT_TRUE(sound);
}

TEST_F(PlayerTest, PlaysAFile) {
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty());
  EXPECT_GE(PlayerPlay(files[0].c_str(), 0, kSourceFile, &buffer), 0);
  ASSERT_NE(player.song, nullptr);
}

TEST_F(PlayerTest, PrefillLockFailureStopsAndRewinds) {
  const auto bytes = Module();
  buffer.FailLocks(1);
  EXPECT_EQ(PlayerPlay(bytes.data(), bytes.size(), kSourceMemory, &buffer), E_INVALIDARG);
  EXPECT_EQ(player.song, nullptr);
  EXPECT_EQ(player.threadRunning.load(), 0);
  // A lock that hands out no whole sample cannot fill the ring either.
  buffer.LimitLocks(1);
  EXPECT_EQ(PlayerPlay(bytes.data(), bytes.size(), kSourceMemory, &buffer), E_INVALIDARG);
}

TEST_F(PlayerTest, BufferThatWillNotPlayStillStreams) {
  const auto bytes = Module();
  buffer.SetLost(true);
  EXPECT_EQ(PlayerPlay(bytes.data(), bytes.size(), kSourceMemory, &buffer), DSERR_BUFFERLOST);
  EXPECT_EQ(player.threadRunning.load(), 1);
}

// A play whose streaming thread cannot start for want of memory fails and
// leaves the player idle (no exception, no buffer looping what it holds);
// scopes that find no room are not kept.
TEST_F(PlayerTest, NoRoomForTheStreamingThreadOrScopesIsNoException) {
  // A buffer that notes nothing on the way (the recording one allocates).
  struct QuietBuffer : MemorySoundBuffer {
    bool playing = false;
    HRESULT Play(std::uint32_t, std::uint32_t, std::uint32_t) override { return playing = true, S_OK; }
    HRESULT Stop() override { return playing = false, S_OK; }
    HRESULT SetCurrentPosition(std::uint32_t) override { return S_OK; }
    HRESULT SetNotificationPositions(std::uint32_t, const DSBPOSITIONNOTIFY*) override { return S_OK; }
  } quiet;
  const auto bytes = Module();
  ASSERT_GE(PlayerPrepare(bytes.data(), bytes.size(), kSourceMemory, &quiet), 0);
  HRESULT started = S_OK;
  EXPECT_FALSE(ThrowsWithoutMemory(0, [&] { started = PlayerStart(player, false); }));
  EXPECT_EQ(started, E_OUTOFMEMORY);
  EXPECT_EQ(player.threadRunning.load(), 0);
  EXPECT_EQ(player.song, nullptr);
  EXPECT_FALSE(quiet.playing);

  // Scopes without room for their ring stay off.
  Player scoped;
  EXPECT_FALSE(ThrowsWithoutMemory(0, [&] { PlayerWatchChannels(scoped, true); }));
  EXPECT_FALSE(scoped.scopesWanted.load());
  ChannelScopes scopes{};
  EXPECT_FALSE(PlayerHeardScopes(scoped, scopes));
}

TEST_F(PlayerTest, SecondModuleReplacesTheFirst) {
  const auto a = Module();
  XmModule other = OneInstrumentModule(LoopedSample(64), 3);
  const auto b = other.Build();
  ASSERT_GE(PlayerPlay(a.data(), a.size(), kSourceMemory, &buffer), 0);
  ASSERT_EQ(player.song->module.channelCount, 1);
  ASSERT_GE(PlayerPlay(b.data(), b.size(), kSourceMemory, &buffer), 0);
  ASSERT_NE(player.song, nullptr);
  EXPECT_EQ(player.song->module.channelCount, 3);
  EXPECT_EQ(player.threadRunning.load(), 1);
}

// A stream held (PlayerHold) or started paused goes on where the buffer
// stands when PlayerStart comes again: the thread that streams goes on.
TEST_F(PlayerTest, StartWhileStreamingGoesOnWhereTheBufferStands) {
  const auto bytes = Module();
  for (const bool startPaused : {false, true}) {
    Song* song = CreateSong();
    ASSERT_TRUE(LoadSong(*song, bytes.data(), bytes.size(), kSourceMemory));
    ASSERT_GE(PlayerPrepareSong(player, song, &buffer, 1000, kNoSongEnd), 0);
    ASSERT_GE(PlayerStart(player, startPaused), 0);
    if (!startPaused) PlayerHold(player);
    buffer.SetPlayCursor(buffer.PlayCursor() + 400);
    const std::uint32_t cursor = buffer.PlayCursor();
    EXPECT_FALSE(buffer.Playing()) << startPaused;
    EXPECT_GE(PlayerStart(player, false), 0) << startPaused;
    EXPECT_TRUE(buffer.Playing()) << startPaused;
    EXPECT_EQ(buffer.PlayCursor(), cursor) << startPaused;
    EXPECT_EQ(player.threadRunning.load(), 1) << startPaused;
    EXPECT_EQ(PlayerStop(player), E_INVALIDARG);
    EXPECT_EQ(player.threadRunning.load(), 0) << startPaused;
  }
}

// A player driven by hand (no streaming thread): every block it writes,
// in the order it writes them.
class PlayerBlocks : public ::testing::Test {
 protected:
  void TearDown() override { PlayerStop(player); }
  static Song* Load(const std::vector<std::uint8_t>& bytes) {
    Song* song = CreateSong();
    EXPECT_TRUE(LoadSong(*song, bytes.data(), bytes.size(), kSourceMemory));
    return song;
  }
  static Song* LoadFile(const std::string& path) {
    Song* song = CreateSong();
    EXPECT_TRUE(LoadSong(*song, path.c_str(), 0, kSourceFile));
    return song;
  }
  // The prefill's 100 blocks, then `more` blocks rendered one by one.
  std::vector<std::int16_t> Capture(std::uint32_t more) {
    const auto* ring = reinterpret_cast<const std::int16_t*>(buffer.Ring());
    std::vector<std::int16_t> out(ring, ring + kRingBytes / 2);
    for (std::uint32_t k = 0; k < more; ++k) {
      const std::uint32_t b = player.writeBlock;
      EXPECT_GE(RenderBlock(player), 0);
      out.insert(out.end(), ring + b * kBlockFrames * 2, ring + (b + 1) * kBlockFrames * 2);
    }
    return out;
  }
  static std::vector<std::int16_t> Alone(Song* song, std::uint64_t frames) {
    std::vector<std::int16_t> out(2 * frames);
    ReadSongFrames(*song, out.data(), static_cast<std::uint32_t>(frames));
    DestroySong(song);
    return out;
  }
  // Appends to `to` the frames [from, from + frames) of the song alone.
  static void Append(std::vector<std::int16_t>& to, Song* song, std::uint64_t from, std::uint64_t frames) {
    SeekSong(*song, from);
    const auto part = Alone(song, frames);
    to.insert(to.end(), part.begin(), part.end());
  }
  // What PlayerHeard says once the device has played `played` frames of
  // the stream.
  bool HeardAfter(std::uint64_t played, HeardFrame& got) {
    player.playedAtStart = 0;
    std::uint64_t base = 0;
    buffer.GetPlayedFrames(&base);
    player.playedAtStart = base - played;
    return PlayerHeard(player, got);
  }
  MemorySoundBuffer buffer;
  Player player;
};

TEST_F(PlayerBlocks, RingHoldsTheSongsFrames) {
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty());
  for (const std::uint64_t start : {std::uint64_t{0}, std::uint64_t{884 * 30 + 17}}) {
    ASSERT_GE(PlayerPrepareSong(player, LoadFile(files[0]), &buffer, start, kNoSongEnd), 0);
    const auto ring = Capture(150);
    Song* alone = LoadFile(files[0]);
    SeekSong(*alone, start - start % kBlockFrames);
    const auto want = Alone(alone, ring.size() / 2);
    EXPECT_EQ(ring, want) << start;
  }
}

// A song queued to follow begins at the frame after the last one of the
// song before, in the same block: the blocks written are each song's one
// pass, one after the other, and the heard frames name the right song.
TEST_F(PlayerBlocks, QueuedSongsFollowWithoutAGap) {
  XmModule a = OneInstrumentModule(LoopedSample());
  a.patterns[0].rows = 4;  // 4 x 6 x 882 = 21,168 frames, shorter than the ring
  a.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  XmModule b = a;
  b.patterns[0].rows = 64;  // 338,688 frames
  b.At(0, 0, 0) = {kC4 + 5, 1, 0, 0, 0};
  XmModule c = a;
  c.At(0, 0, 0) = {kC4 + 12, 1, 0, 0, 0};
  const std::uint64_t lengthA = 4 * 6 * 882, lengthB = 64 * 6 * 882, lengthC = lengthA;
  const auto bytesA = a.Build(), bytesB = b.Build(), bytesC = c.Build();
  ASSERT_GE(PlayerPrepareSong(player, Load(bytesA), &buffer, 0, lengthA, 1, {Load(bytesB), lengthB, 2}), 0);
  EXPECT_FALSE(PlayerHasQueuedSong(player));  // taken in the prefill
  ASSERT_EQ(PlayerQueueSong(player, Load(bytesC), lengthC, 3), S_OK);
  const std::uint64_t total = lengthA + lengthB + lengthC;
  const auto blocks = Capture(static_cast<std::uint32_t>((total + 2 * kBlockFrames) / kBlockFrames - kRingBlocks));
  std::vector<std::int16_t> want = Alone(Load(bytesA), lengthA);
  for (const auto& [bytes, length] : {std::pair{&bytesB, lengthB}, std::pair{&bytesC, lengthC}}) {
    const auto part = Alone(Load(*bytes), length);
    want.insert(want.end(), part.begin(), part.end());
  }
  ASSERT_GE(blocks.size(), want.size());
  EXPECT_TRUE(std::equal(want.begin(), want.end(), blocks.begin()));
  EXPECT_TRUE(std::all_of(blocks.begin() + static_cast<std::ptrdiff_t>(want.size()), blocks.end(),
                          [](std::int16_t v) { return v == 0; }));  // the end: silence
  // What is heard where: the device's count of played frames.
  const struct {
    std::uint64_t played;
    std::uint32_t tag;
    std::uint64_t frame;
  } heard[] = {{0, 1, 0}, {lengthA - 1, 1, lengthA - 1}, {lengthA, 2, 0}, {lengthA + 884 * 3 + 5, 2, 884 * 3 + 5}};
  PlayerCollect(player);
  for (const auto& h : heard) {
    HeardFrame got{};
    // Blocks far behind were written over since; these are in the ring.
    if (h.played / kBlockFrames + kRingBlocks <= player.blocksRendered) continue;
    ASSERT_TRUE(HeardAfter(h.played, got)) << h.played;
    EXPECT_EQ(got.tag, h.tag) << h.played;
    EXPECT_EQ(got.songFrame, h.frame) << h.played;
  }
}

// Songs shorter than the ring: the second is taken while the ring is
// filled and ends in it, with silence after; a third queued in time
// follows it without a gap all the same (the ring is rendered again from
// the second's end), unless that end is less than `lead` blocks ahead of
// the block being heard, where it follows at the first block after them.
TEST_F(PlayerBlocks, SongQueuedAfterTheEndWasRenderedFollowsWithoutAGap) {
  XmModule a = OneInstrumentModule(LoopedSample());
  a.patterns[0].rows = 4;  // 21,168 frames: 23.9 blocks
  a.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  XmModule b = a, c = a;
  b.At(0, 0, 0) = {kC4 + 5, 1, 0, 0, 0};
  c.At(0, 0, 0) = {kC4 + 12, 1, 0, 0, 0};
  const std::uint64_t length = 4 * 6 * 882;
  const auto bytesA = a.Build(), bytesB = b.Build(), bytesC = c.Build();
  const struct {
    std::uint32_t heardBlock;  // the block being heard when the third song is queued
    std::uint64_t gap;         // frames of silence before it
  } cases[] = {{0, 0}, {39, 0}, {41, 49 * kBlockFrames - 2 * length}};
  for (const auto& [heardBlock, gap] : cases) {
    ASSERT_GE(PlayerPrepareSong(player, Load(bytesA), &buffer, 0, length, 1, {Load(bytesB), length, 2}), 0);
    std::uint64_t played = 0;
    buffer.GetPlayedFrames(&played);
    player.playedAtStart = played - std::uint64_t{heardBlock} * kBlockFrames;
    ASSERT_EQ(PlayerQueueSongInTime(player, Load(bytesC), length, 3, 8), S_OK);
    EXPECT_FALSE(PlayerHasQueuedSong(player)) << heardBlock;
    EXPECT_EQ(player.writeBlock, 0u) << heardBlock;  // the ring full again, to where it was
    const auto blocks = Capture(0);
    std::vector<std::int16_t> want = Alone(Load(bytesA), length);
    const auto second = Alone(Load(bytesB), length), third = Alone(Load(bytesC), length);
    want.insert(want.end(), second.begin(), second.end());
    want.insert(want.end(), 2 * gap, 0);
    want.insert(want.end(), third.begin(), third.end());
    want.resize(blocks.size());
    EXPECT_EQ(blocks, want) << heardBlock;
    PlayerStop(player);
  }
}

// A song that begins with a block (the one before ended at its edge) has
// the block to itself: one shorter than a block that ends in it is followed
// right at its end by a song queued in time, and the heard frames of a song
// that follows count from where it was sought to.
TEST_F(PlayerBlocks, SongBeginningWithABlockIsFollowedAtItsEnd) {
  XmModule a = OneInstrumentModule(LoopedSample());
  a.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  XmModule b = a, c = a;
  b.At(0, 0, 0) = {kC4 + 5, 1, 0, 0, 0};
  c.At(0, 0, 0) = {kC4 + 12, 1, 0, 0, 0};
  const auto bytesA = a.Build(), bytesB = b.Build(), bytesC = c.Build();
  const std::uint64_t lengthA = 3 * kBlockFrames, lengthB = 300, fromC = 1000, endC = fromC + 5000;
  ASSERT_GE(PlayerPrepareSong(player, Load(bytesA), &buffer, 0, lengthA, 1, {Load(bytesB), lengthB, 2}), 0);
  Song* songC = Load(bytesC);
  SeekSong(*songC, fromC);
  ASSERT_EQ(PlayerQueueSongInTime(player, songC, endC, 3, 0), S_OK);
  EXPECT_FALSE(PlayerHasQueuedSong(player));
  const auto blocks = Capture(0);
  std::vector<std::int16_t> want;
  Append(want, Load(bytesA), 0, lengthA);
  Append(want, Load(bytesB), 0, lengthB);
  Append(want, Load(bytesC), fromC, endC - fromC);
  want.resize(blocks.size());
  EXPECT_EQ(blocks, want);
  const struct {
    std::uint64_t played;
    std::uint32_t tag;
    std::uint64_t frame;
  } heard[] = {{lengthA - 1, 1, lengthA - 1},
               {lengthA, 2, 0},
               {lengthA + lengthB - 1, 2, lengthB - 1},
               {lengthA + lengthB, 3, fromC},
               {lengthA + lengthB + 7, 3, fromC + 7}};
  for (const auto& h : heard) {
    HeardFrame got{};
    ASSERT_TRUE(HeardAfter(h.played, got)) << h.played;
    EXPECT_EQ(got.tag, h.tag) << h.played;
    EXPECT_EQ(got.songFrame, h.frame) << h.played;
  }
}

TEST_F(PlayerBlocks, HeardFrameFollowsTheDevice) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  ASSERT_GE(PlayerPrepareSong(player, Load(m.Build()), &buffer, 5000, kNoSongEnd, 7), 0);
  HeardFrame heard{};
  ASSERT_TRUE(PlayerHeard(player, heard));
  EXPECT_EQ(heard.tag, 7u);
  EXPECT_EQ(heard.songFrame, 5000u);
  buffer.AdvancePlayCursor(4 * 1000);  // the device takes 1,000 frames
  ASSERT_TRUE(PlayerHeard(player, heard));
  EXPECT_EQ(heard.songFrame, 6000u);
  // Beyond the ring nothing is known yet.
  buffer.AdvancePlayCursor(kRingBytes);
  EXPECT_FALSE(PlayerHeard(player, heard));
}

// The row of the block being heard comes from the device's count of played
// frames, block by block, while PlayerGetPosition waits for the streaming
// thread (here: none runs, so it stays at the first block).
TEST_F(PlayerBlocks, HeardPositionIsTheLogEntryOfTheBlockTheDeviceIsIn) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.patterns[0].rows = 8;  // 8 x 5,292 frames: about 48 blocks
  m.patterns.push_back(m.patterns[0]);
  m.orders = {0, 1};
  m.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  const auto bytes = m.Build();
  ASSERT_GE(PlayerPrepareSong(player, Load(bytes), &buffer, 0, kNoSongEnd), 0);
  Song* reference = Load(bytes);
  std::vector<std::int16_t> scratch(2 * kBlockFrames);
  int orderChanges = 0;
  for (std::uint32_t block = 0; block < kRingBlocks; ++block) {
    ReadSongFrames(*reference, scratch.data(), kBlockFrames);
    const auto want = static_cast<std::uint16_t>(reference->module.orderPosition | reference->module.row << 8);
    PositionLogEntry heard{};
    ASSERT_TRUE(PlayerHeardPosition(player, heard)) << block;
    EXPECT_EQ(heard.songPosition, want) << block;
    EXPECT_EQ(heard.songPosition, ReadPositionLog(player, block).songPosition) << block;
    orderChanges += block > 0 && (want & 255) != (PlayerGetPosition(player) & 255);
    buffer.AdvancePlayCursor(kBlockBytes / 2);
    ASSERT_TRUE(PlayerHeardPosition(player, heard)) << block;  // still in the same block
    EXPECT_EQ(heard.songPosition, want) << block;
    buffer.AdvancePlayCursor(kBlockBytes / 2);
  }
  DestroySong(reference);
  EXPECT_GT(orderChanges, 0);  // PlayerGetPosition stayed behind
  // Past the ring nothing is known yet.
  PositionLogEntry heard{};
  EXPECT_FALSE(PlayerHeardPosition(player, heard));
}

// Each channel's own part of the mix for the scopes: kept apart, so that
// the mix itself is the same bits with or without scopes.
TEST_F(PlayerBlocks, ChannelScopesShowEachChannelAndLeaveTheMixAlone) {
  XmModule m = OneInstrumentModule(LoopedSample(), 3);
  m.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  m.At(0, 0, 2) = {kC4 + 7, 1, 0x20, 0, 0};  // quieter
  const auto bytes = m.Build();
  ASSERT_GE(PlayerPrepareSong(player, Load(bytes), &buffer, 0, kNoSongEnd), 0);
  const auto without = Capture(20);
  PlayerWatchChannels(player, true);
  ASSERT_GE(PlayerPrepareSong(player, Load(bytes), &buffer, 0, kNoSongEnd), 0);
  const auto with = Capture(20);
  EXPECT_EQ(with, without);
  ChannelScopes scopes{};
  buffer.AdvancePlayCursor(105 * kBlockBytes);  // block 105: written after block 5, in its place
  ASSERT_TRUE(PlayerHeardScopes(player, scopes));
  EXPECT_GT(scopes.peaks[0], scopes.peaks[2]);
  EXPECT_GT(scopes.peaks[2], 0);
  EXPECT_EQ(scopes.peaks[1], 0);
  EXPECT_TRUE(
      std::all_of(std::begin(scopes.points[1]), std::end(scopes.points[1]), [](std::int8_t v) { return v == 0; }));
  EXPECT_TRUE(
      std::any_of(std::begin(scopes.points[0]), std::end(scopes.points[0]), [](std::int8_t v) { return v != 0; }));
  // A muted channel adds nothing, to the mix or to its scope.
  PlayerMuteChannels(player, 1);
  ASSERT_GE(PlayerPrepareSong(player, Load(bytes), &buffer, 0, kNoSongEnd), 0);
  buffer.AdvancePlayCursor(5 * kBlockBytes);
  ASSERT_TRUE(PlayerHeardScopes(player, scopes));
  EXPECT_EQ(scopes.peaks[0], 0);
  EXPECT_GT(scopes.peaks[2], 0);
}

// A mute set while playing is heard from a few blocks after the block
// being heard, not two seconds later: the ring is rendered again from there
// while the blocks before go on as they were. Even where that is the ring's
// last block, which the song has mixed last.
TEST_F(PlayerBlocks, RefreshRendersTheRingAgainFromJustAheadOfTheHearing) {
  XmModule m = OneInstrumentModule(LoopedSample(), 2);
  m.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  m.At(0, 0, 1) = {kC4 + 4, 1, 0, 0, 0};
  const auto bytes = m.Build();
  for (const std::uint32_t lead : {8u, 89u}) {
    PlayerMuteChannels(player, 0);
    ASSERT_GE(PlayerPrepareSong(player, Load(bytes), &buffer, 0, kNoSongEnd), 0);
    const auto* ring = reinterpret_cast<const std::int16_t*>(buffer.Ring());
    const std::vector<std::int16_t> before(ring, ring + kRingBytes / 2);
    buffer.AdvancePlayCursor(10 * kBlockBytes + 400);  // block 10 is being heard
    PlayerMuteChannels(player, 2);
    ASSERT_TRUE(PlayerRefresh(player, lead)) << lead;
    EXPECT_EQ(player.writeBlock, 0u) << lead;  // the ring is full again, to where it was
    // The reference: channel 1 muted from block 10 + lead on.
    const std::uint32_t from = 10 + lead;
    Song* reference = Load(bytes);
    std::vector<std::int16_t> want(2 * kRingBlocks * kBlockFrames);
    ReadSongFrames(*reference, want.data(), from * kBlockFrames);
    reference->mutedChannels = 2;
    ReadSongFrames(*reference, want.data() + 2 * from * kBlockFrames, (kRingBlocks - from) * kBlockFrames);
    DestroySong(reference);
    const std::vector<std::int16_t> after(ring, ring + kRingBytes / 2);
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + 2 * from * kBlockFrames, before.begin())) << lead;
    EXPECT_EQ(after, want) << lead;
    EXPECT_NE(after, before) << lead;
    // The blocks rendered from now on keep the mute.
    const auto next = Capture(5);
    Song* muted = Load(bytes);
    muted->mutedChannels = 2;
    SeekSong(*muted, kRingBlocks * kBlockFrames);
    const auto tail = Alone(muted, 5 * kBlockFrames);
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), next.end() - static_cast<std::ptrdiff_t>(tail.size()))) << lead;
  }
}

// A seek to the song's end frame or past it goes on from the end, where
// the song queued to follow begins; before it, the song plays to its end
// and the follower goes on in the same block.
TEST_F(PlayerBlocks, SeekAtOrPastTheEndGoesOnFromTheEnd) {
  XmModule a = OneInstrumentModule(LoopedSample());
  a.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  XmModule b = a;
  b.At(0, 0, 0) = {kC4 + 5, 1, 0, 0, 0};
  const auto bytesA = a.Build(), bytesB = b.Build();
  const std::uint64_t end = 100000;  // inside block 113; the song is longer
  const struct {
    std::uint64_t to;
    std::uint32_t tag;
    std::uint64_t frame;
  } cases[] = {{end - 1, 1, end - 1}, {end, 2, 0}, {end + 1, 2, 0}, {end + 5000, 2, 0}, {end + 500000, 2, 0}};
  for (const auto& c : cases) {
    ASSERT_GE(PlayerPrepareSong(player, Load(bytesA), &buffer, 0, end, 1, {Load(bytesB), kNoSongEnd, 2}), 0);
    ASSERT_GE(PlayerSeek(player, c.to, true), 0) << c.to;
    HeardFrame heard{};
    ASSERT_TRUE(PlayerHeard(player, heard)) << c.to;
    EXPECT_EQ(heard.tag, c.tag) << c.to;
    EXPECT_EQ(heard.songFrame, c.frame) << c.to;
    // What the device plays from the cursor on: the rest of the first song,
    // then the second from its start.
    std::vector<std::int16_t> want;
    if (c.tag == 1) {
      Song* first = Load(bytesA);
      SeekSong(*first, c.to);
      want = Alone(first, end - c.to);
    }
    const auto second = Alone(Load(bytesB), kBlockFrames);
    want.insert(want.end(), second.begin(), second.end());
    const auto* ring = reinterpret_cast<const std::int16_t*>(buffer.Ring());
    const std::uint32_t cursor = buffer.PlayCursor() / 2;
    EXPECT_TRUE(std::equal(want.begin(), want.end(), ring + cursor)) << c.to;
    PlayerStop(player);
  }
}

// After hours of play a seek back goes on from a keyframe near by, not from
// the first half hour's last one (seconds of skipping, with the sound
// gone and the window waiting), and plays exactly what a render from the
// start plays there.
TEST_F(PlayerBlocks, SeekBackAfterHoursStartsFromAKeyframeNearBy) {
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty());
  const std::uint64_t far = 3ull * 3600 * kSampleRate + 12345;
  ASSERT_GE(PlayerPrepareSong(player, LoadFile(files[0]), &buffer, 0, kNoSongEnd), 0);
  ASSERT_GE(PlayerSeek(player, far, true), 0);
  const std::vector<SongKeyframe>& keyframes = player.song->keyframes;
  ASSERT_FALSE(keyframes.empty());
  EXPECT_LE(keyframes.size(), keyframes.capacity());
  EXPECT_TRUE(std::is_sorted(keyframes.begin(), keyframes.end(),
                             [](const SongKeyframe& a, const SongKeyframe& b) { return a.frame < b.frame; }));
  EXPECT_LE(far - keyframes.back().frame, far / 128);
  const std::uint64_t back = far - 10 * kSampleRate;
  ASSERT_GE(PlayerSeek(player, back, true), 0);
  Song* alone = LoadFile(files[0]);
  SeekSong(*alone, back);
  const auto want = Alone(alone, 20000);
  const auto* ring = reinterpret_cast<const std::int16_t*>(buffer.Ring());
  EXPECT_TRUE(std::equal(want.begin(), want.end(), ring + buffer.PlayCursor() / 2));
}

}  // namespace
