// Finding where songs end: the scan of every corpus module, and of the
// worst files we can craft (six channels' pattern loops nested like the
// wheels of a counter, so that the pass runs into the 2^20-row limit).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "loader.h"
#include "module.h"
#include "song.h"
#include "song_scan.h"
#include "sources.h"
#include "xm_writer.h"

namespace {

void Scan(benchmark::State& state, const std::vector<std::uint8_t>& bytes) {
  Song* song = CreateSong();
  if (!LoadSong(*song, bytes.data(), bytes.size(), kSourceMemory)) {
    state.SkipWithError("does not load");
    DestroySong(song);
    return;
  }
  std::uint64_t frames = 0;
  for (auto _ : state) {
    const SongScan scan = ScanSong(*song, 1);
    frames = scan.Ended() ? scan.passEnds[0] : 0;
    benchmark::DoNotOptimize(frames);
  }
  state.counters["song_s"] = static_cast<double>(frames) / 44100.0;
  DestroySong(song);
}

// Six channels' loops nested like the wheels of a counter, on `channels`
// channels, the fastest wheel in the first channel or (`last`) in the last:
// there its loop count sits in the top bits of the row table's keys.
std::vector<std::uint8_t> NestedLoops(std::uint16_t channels = 6, bool last = false) {
  XmModule m = OneInstrumentModule(LoopedSample(), channels);
  m.patterns[0].rows = 8;
  m.patterns[0].cells.clear();
  for (std::uint16_t w = 0; w < 6; ++w) {
    const auto c = static_cast<std::uint16_t>(last ? channels - 1 - w : w);
    m.At(0, 0, c) = {0, 0, 0, 0xE, 0x60};
    m.At(0, static_cast<std::uint16_t>(w + 1), c) = {0, 0, 0, 0xE, 0x6F};
  }
  return m.Build();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(ZEVORA_CORPUS_DIR))
    if (entry.path().extension() == ".xm") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  for (const std::string& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    benchmark::RegisterBenchmark(("ScanSong/" + std::filesystem::path(file).filename().string()).c_str(),
                                 [bytes](benchmark::State& state) { Scan(state, bytes); })
        ->Unit(benchmark::kMillisecond);
  }
  const auto worst = NestedLoops();
  benchmark::RegisterBenchmark("ScanSong/crafted_2^20_rows_no_end", [worst](benchmark::State& state) {
    Scan(state, worst);
  })->Unit(benchmark::kMillisecond);
  const auto high = NestedLoops(32, true);
  benchmark::RegisterBenchmark("ScanSong/crafted_2^20_rows_no_end_channels_32-27", [high](benchmark::State& state) {
    Scan(state, high);
  })->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
