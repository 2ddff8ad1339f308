#include <chrono>
#include <cstdio>
#include <thread>

#include "engine_fixture.h"
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

}  // namespace
