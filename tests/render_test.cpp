// Whole renders: every corpus module for three minutes, twice to the same
// bytes, and golden hashes that catch any change in the engine's output.
#include <map>

#include "engine_fixture.h"
#include "offline_render.h"
#include "resources.h"

namespace {

std::uint64_t Fnv(std::uint64_t h, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  for (std::size_t i = 0; i < size; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

std::uint64_t RenderHash(const void* source, std::uintptr_t param, std::int32_t kind, double seconds) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  const HRESULT result = RenderOffline(source, param, kind, BlocksForSeconds(seconds),
                                       [&](std::uint64_t, const std::int16_t* pcm, PositionLogEntry entry) {
                                         h = Fnv(h, pcm, kBlockBytes);
                                         h = Fnv(h, &entry.songPosition, sizeof entry.songPosition);
                                         h = Fnv(h, &entry.elapsedMs, sizeof entry.elapsedMs);
                                         return true;
                                       });
  EXPECT_GE(result, 0);
  return h;
}

std::string Base(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

TEST(RenderTest, EveryCorpusModuleRendersThreeMinutesTwiceTheSame) {
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty());
  for (const std::string& file : files) {
    const std::uint64_t a = RenderHash(file.c_str(), 0, kSourceFile, 180);
    const std::uint64_t b = RenderHash(file.c_str(), 0, kSourceFile, 180);
    EXPECT_EQ(a, b) << file;
  }
}

// Hashes of 30-second renders (PCM and position log), taken from the
// straightforward engine before any optimisation. They must not change.
TEST(RenderTest, GoldenHashes) {
  const std::map<std::string, std::uint64_t> golden = {
      {"demo", 0x2018937896509a0dull},
      {"ballz-data--finalman-quickie.xm", 0x23803014995fa234ull},
      {"bomberclone-data--slice_me_nice.xm", 0xc8bdd87dd5ca44a4ull},
      {"ceferino-data--menu.xm", 0x5f779e1c87c403acull},
      {"flobopuyo--strange_fear.xm", 0xa5055818ba87958bull},
      {"gemdropx--hr_suds.xm", 0xe137063f8f7359e3ull},
      {"njam-data--satisfy.xm", 0xcb84e5b7b7784202ull},
      {"solarwolf--arg.xm", 0x4e15704213849c1ull},
      {"vor--mph.xm", 0xa60ae56575184943ull},
  };
  std::map<std::string, std::uint64_t> got;
  got["demo"] = RenderHash(kDemoModuleName, 0, kSourceResource, 30);
  for (const std::string& file : CorpusFiles())
    if (golden.count(Base(file))) got[Base(file)] = RenderHash(file.c_str(), 0, kSourceFile, 30);
  for (const auto& [name, hash] : golden) {
    EXPECT_EQ(got[name], hash) << name << ": 0x" << std::hex << got[name] << "ull";
  }
}

}  // namespace
