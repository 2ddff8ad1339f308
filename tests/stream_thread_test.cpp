#include "stream_thread.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "engine_fixture.h"
#include "memory_sound_buffer.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(CursorBlockTest, BytesToRingBlocks) {
  const struct {
    std::uint32_t cursor, block;
  } cases[] = {{0, 0}, {3535, 0}, {3536, 1}, {353596, 99}, {353600, 0}, {353600 + 3536 * 5, 5}};
  for (const auto& c : cases) EXPECT_EQ(CursorBlock(c.cursor), c.block) << c.cursor;
}

class StreamTest : public EngineTest {
 protected:
  void SetUp() override {
    bytes_ = OneInstrumentModule(LoopedSample()).Build();
    ASSERT_GE(PlayerPlay(bytes_.data(), bytes_.size(), kSourceMemory, &buffer), 0);
  }
  // Waits until cond holds or a generous limit passes.
  template <typename Cond>
  bool WaitFor(Cond cond) {
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end) {
      if (cond()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return cond();
  }
  MemorySoundBuffer buffer;
  Player& player = DefaultPlayer();
};

TEST_F(StreamTest, CatchesUpWithTheCursor) {
  EXPECT_EQ(buffer.LockCount(), 100);
  buffer.SetPlayCursor(3 * kBlockBytes + 10);
  ASSERT_TRUE(WaitFor([&] { return buffer.LockCount() == 103; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(buffer.LockCount(), 103);
  EXPECT_EQ(player.positionLogIndex.load(), 3u);
  // The time heard is that of block 3, rendered in the prefill.
  EXPECT_EQ(PlayerGetTime(), ReadPositionLog(3).elapsedMs);
  PlayerStop();
  EXPECT_EQ(player.writeBlock, 0u);
}

TEST_F(StreamTest, LockFailureRendersTheSameBlockAgain) {
  // The failed render leaves player.writeBlock on block 0, so the same pass renders
  // the following music into it; the log index moved on with both tries.
  buffer.FailLocks(1);
  buffer.SetPlayCursor(kBlockBytes);
  ASSERT_TRUE(WaitFor([&] { return buffer.LockCount() == 102; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(buffer.LockCount(), 102);
  EXPECT_EQ(player.positionLogIndex.load(), 2u);
  const std::uint32_t twoBlocksOn = ReadPositionLog(0).elapsedMs;
  EXPECT_GT(twoBlocksOn, ReadPositionLog(99).elapsedMs);
  PlayerStop();
}

TEST_F(StreamTest, StopWhilePausedReturnsPromptly) {
  buffer.Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto start = Clock::now();
  PlayerStop();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2000));
  EXPECT_EQ(player.threadRunning.load(), 0);
}

TEST_F(StreamTest, StopDuringCatchUpWaitsForIt) {
  buffer.SetPlayCursor(50 * kBlockBytes);
  std::this_thread::sleep_for(std::chrono::milliseconds(12));
  PlayerStop();
  EXPECT_EQ(player.threadRunning.load(), 0);
  EXPECT_EQ(buffer.LockCount(), 150);  // the catch-up finished first
}

TEST_F(StreamTest, StopRightAfterPlayWaitsForTheThread) {
  for (int i = 0; i < 20; ++i) {
    ASSERT_GE(PlayerPlay(bytes_.data(), bytes_.size(), kSourceMemory, &buffer), 0);
    PlayerStop();
    EXPECT_EQ(player.threadRunning.load(), 0);
  }
}

TEST_F(StreamTest, StopReturnsWhileLocksFailForEver) {
  // A lost device: every lock fails, or hands out less than a sample, while
  // the cursor stands far ahead, so the catch-up can never reach it.
  const struct {
    const char* name;
    bool shortLocks;
  } cases[] = {{"locks fail", false}, {"locks hand out no sample", true}};
  for (const auto& c : cases) {
    if (c.shortLocks)
      buffer.LimitLocks(1);
    else
      buffer.FailLocks(1 << 30, DSERR_BUFFERLOST);
    buffer.SetPlayCursor(60 * kBlockBytes);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
      PlayerStop();
      stopped = true;
    });
    // Returns at all: the bound only tells a hang from a loaded machine.
    const bool returned = WaitFor([&] { return stopped.load(); });
    // The device healed, so that a stop that hangs ends, and the test too.
    buffer.FailLocks(0);
    buffer.LimitLocks(kRingBytes);
    stopper.join();
    EXPECT_TRUE(returned) << c.name;
    EXPECT_EQ(player.threadRunning.load(), 0) << c.name;
    EXPECT_FALSE(buffer.Playing()) << c.name;
    ASSERT_GE(PlayerPlay(bytes_.data(), bytes_.size(), kSourceMemory, &buffer), 0);
  }
}

TEST_F(StreamTest, WindowThreadReadsWhileStreaming) {
  std::atomic<bool> done{false};
  std::thread mover([&] {
    for (int i = 0; i < 60; ++i) {
      buffer.AdvancePlayCursor(kBlockBytes);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    done = true;
  });
  // The entry being re-rendered already holds the time of a block heard two
  // seconds later; a reader that saw it would then see the time go back.
  std::uint32_t last = 0;
  int reads = 0;
  while (!done) {
    const std::uint32_t t = PlayerGetTime();
    if (t < last) {
      ADD_FAILURE() << "play time went back from " << last << " to " << t << " after " << reads << " reads";
      break;
    }
    last = t;
    ++reads;
  }
  EXPECT_GT(last, 0u);
  mover.join();
  PlayerStop();
}

// Songs that follow each other every few blocks, queued, heard and
// refreshed by the caller while the streaming thread takes them over (the
// thread sanitizer watches what the caller reads of the player): the songs
// heard only go forward.
TEST(StreamSwitchTest, CallsWhileTheThreadSwitchesSongs) {
  std::vector<std::vector<std::uint8_t>> modules;
  for (std::uint8_t k = 0; k < 4; ++k) {
    XmModule m = OneInstrumentModule(LoopedSample());
    m.patterns[0].rows = 1;
    m.At(0, 0, 0) = {static_cast<std::uint8_t>(kC4 + k), 1, 0, 0, 0};
    modules.push_back(m.Build());
  }
  const auto load = [&](std::uint32_t tag) {
    Song* song = CreateSong();
    const auto& bytes = modules[tag % modules.size()];
    EXPECT_TRUE(LoadSong(*song, bytes.data(), bytes.size(), kSourceMemory));
    return song;
  };
  constexpr std::uint64_t kLength = 3000;  // frames of each song, under four blocks
  MemorySoundBuffer buffer;
  Player player;
  ASSERT_GE(PlayerPlaySong(player, load(0), &buffer, 0, kLength, 0), 0);
  std::atomic<bool> done{false};
  std::thread device([&] {
    while (!done) {
      buffer.AdvancePlayCursorWhilePlaying(kBlockBytes);
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  });
  std::uint32_t next = 1, lastHeard = 0;
  for (int i = 0; i < 120; ++i) {
    if (i % 10 == 0) {
      ASSERT_EQ(PlayerQueueSongInTime(player, load(next), kLength, next), S_OK);
      ++next;
    } else if (!PlayerHasQueuedSong(player)) {
      ASSERT_EQ(PlayerQueueSong(player, load(next), kLength, next), S_OK);
      ++next;
    }
    if (i % 10 == 5) PlayerRefresh(player);
    HeardFrame heard{};
    if (PlayerHeard(player, heard)) {
      EXPECT_GE(heard.tag, lastHeard) << i;
      lastHeard = heard.tag;
    }
    PlayerGetTime(player);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  done = true;
  device.join();
  PlayerStop(player);
}

}  // namespace
