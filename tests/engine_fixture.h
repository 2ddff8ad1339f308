// Shared set-up for engine tests: load a module from bytes into the engine's
// records and drive the sequencer tick by tick.
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
#include "xm_writer.h"

class EngineTest : public ::testing::Test {
 protected:
  void TearDown() override { PlayerStop(); }

  // Loads without playing.
  bool Load(const std::vector<std::uint8_t>& bytes) {
    bytes_ = bytes;
    return OpenAndLoadModule(bytes_.data(), bytes_.size(), kSourceMemory);
  }
  bool Load(const XmModule& module) { return Load(module.Build()); }

  // Loads and gives the module its start values, ready for Tick().
  void Start(const XmModule& module) {
    ASSERT_TRUE(Load(module));
    ResetPlayback();
  }
  void Tick() { AdvanceTick(moduleState); }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) Tick();
  }

  std::vector<std::uint8_t> bytes_;
};

// Corpus files, from the shared folder beside the repository.
std::string CorpusDir();
std::vector<std::string> CorpusFiles();
std::vector<std::uint8_t> ReadFile(const std::string& path);
