// Whole-module rendering speed: the realtime factor (seconds of audio per
// second of CPU) for every corpus module, 60 seconds each.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "offline_render.h"
#include "player.h"
#include "resources.h"

namespace {

constexpr double kSeconds = 60.0;

void RenderModule(benchmark::State& state, const std::vector<std::uint8_t>& bytes, const void* source,
                  std::int32_t kind) {
  const std::uint64_t blocks = BlocksForSeconds(kSeconds);
  for (auto _ : state) {
    std::uint64_t sum = 0;
    RenderOffline(source ? source : bytes.data(), source ? 0 : bytes.size(), kind, blocks,
                  [&](std::uint64_t, const std::int16_t* pcm, PositionLogEntry) {
                    sum += static_cast<std::uint16_t>(pcm[0]);
                    return true;
                  });
    benchmark::DoNotOptimize(sum);
  }
  state.counters["realtime"] =
      benchmark::Counter(kSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void RegisterCorpus() {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ZEVORA_CORPUS_DIR, error))
    if (entry.path().extension() == ".xm") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(std::istreambuf_iterator<char>(in),
                                                             std::istreambuf_iterator<char>());
    const std::string name = "BM_Render/" + std::filesystem::path(file).stem().string();
    benchmark::RegisterBenchmark(name.c_str(), [bytes](benchmark::State& state) {
      RenderModule(state, *bytes, nullptr, kSourceMemory);
    })->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("BM_Render/demo", [](benchmark::State& state) {
    RenderModule(state, {}, kDemoModuleName, kSourceResource);
  })->Unit(benchmark::kMillisecond);
}

}  // namespace

int main(int argc, char** argv) {
  RegisterCorpus();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
