// Fuzz target: any bytes through PlayerPlay's loading and prefill (memory
// source, memory-backed buffer), then 100 more blocks: 200 blocks in all.
// Module memory must stay below 64 x the input size + 64 MiB, and a load
// that fails keeps none.
#include <cstdio>
#include <cstdlib>

#include "memory_sound_buffer.h"
#include "module.h"
#include "player.h"
#include "renderer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemorySoundBuffer buffer;
  Song* song = CreateSong();
  if (!LoadSong(*song, data, size, kSourceMemory)) {
    if (song->memory.inUse != 0) std::abort();  // a failed load keeps nothing
    DestroySong(song);
    return 0;
  }
  Player& player = DefaultPlayer();
  if (PlayerPrepareSong(player, song, &buffer, 0, kNoSongEnd) >= 0) {
    for (int b = 0; b < 100; ++b) RenderBlock(player);
    const std::size_t bound = 64 * size + (std::size_t{64} << 20);
    if (player.song->memory.peak >= bound) {
      std::fprintf(stderr, "module memory %zu exceeds %zu\n", player.song->memory.peak, bound);
      std::abort();
    }
  }
  PlayerStop(player);
  return 0;
}
