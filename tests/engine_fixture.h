// Shared set-up for engine tests: load a module from bytes into a song of
// the test's own and drive its sequencer tick by tick.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "channel.h"
#include "loader.h"
#include "mixer.h"
#include "module.h"
#include "player.h"
#include "renderer.h"
#include "replayer.h"
#include "song.h"
#include "xm_writer.h"

class EngineTest : public ::testing::Test {
 protected:
  EngineTest()
      : song_(CreateSong()),
        moduleState(song_->module),
        channels(song_->channels),
        voices(song_->voices),
        emptySample(song_->emptySample) {}
  ~EngineTest() override { DestroySong(song_); }
  void TearDown() override { PlayerStop(); }

  // Loads without playing; the song stands at its start.
  bool Load(const std::vector<std::uint8_t>& bytes) {
    bytes_ = bytes;
    return LoadSong(*song_, bytes_.data(), bytes_.size(), kSourceMemory);
  }
  bool Load(const XmModule& module) { return Load(module.Build()); }

  // Loads, ready for Tick().
  void Start(const XmModule& module) { ASSERT_TRUE(Load(module)); }
  void Tick() { AdvanceTick(*song_); }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) Tick();
  }

  // The engine's operations on the test's song.
  bool OpenAndLoadModule(const void* source, std::uintptr_t param, std::int32_t kind) {
    return LoadSong(*song_, source, param, kind);
  }
  LoadError LastLoadError() const { return song_->loadError; }
  void FreeModule() { ::FreeModule(*song_); }
  void BuildSampleSpans() { ::BuildSampleSpans(*song_); }
  std::size_t ModuleBytesInUse() const { return song_->memory.inUse; }

  std::vector<std::uint8_t> bytes_;
  Song* song_;
  // The song's records, by the names the engine gives them.
  ModuleState& moduleState;
  Channel (&channels)[kMaxChannels];
  Voice (&voices)[kVoiceCount];
  Sample& emptySample;
};

// Corpus files, from the shared folder beside the repository.
std::string CorpusDir();
std::vector<std::string> CorpusFiles();
std::vector<std::uint8_t> ReadFile(const std::string& path);
