// Fuzz target: any bytes through PlayerPlay's loading and prefill (memory
// source, memory-backed buffer), then 100 more blocks: 200 blocks in all.
// Module memory must stay below 64 x the input size + 64 MiB.
#include <cstdio>
#include <cstdlib>

#include "memory_sound_buffer.h"
#include "module.h"
#include "player.h"
#include "renderer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemorySoundBuffer buffer;
  ResetModulePeak();
  if (PlayerPrepare(data, size, kSourceMemory, &buffer) >= 0) {
    for (int b = 0; b < 100; ++b) RenderBlock();
  }
  const std::size_t bound = 64 * size + (std::size_t{64} << 20);
  if (ModulePeakBytes() >= bound) {
    std::fprintf(stderr, "module memory %zu exceeds %zu\n", ModulePeakBytes(), bound);
    std::abort();
  }
  PlayerStop();
  if (ModuleBytesInUse() != 0) std::abort();
  return 0;
}
