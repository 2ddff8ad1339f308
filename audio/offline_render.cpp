#include "offline_render.h"

#include <cmath>

#include "memory_sound_buffer.h"

std::uint64_t BlocksForSeconds(double seconds) {
  if (!(seconds > 0)) return 0;
  return static_cast<std::uint64_t>(std::ceil(seconds * kSampleRate / kBlockFrames));
}

HRESULT RenderOffline(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t blocks,
                      const BlockSink& sink) {
  MemorySoundBuffer buffer;
  const HRESULT prepared = PlayerPrepare(source, param, kind, &buffer);
  if (prepared < 0) return prepared;
  HRESULT result = S_OK;
  const auto* ring = reinterpret_cast<const std::int16_t*>(buffer.Ring());
  for (std::uint64_t k = 0; k < blocks; ++k) {
    std::uint32_t b = static_cast<std::uint32_t>(k % kRingBlocks);
    if (k >= kRingBlocks) {
      b = writeBlock;
      RenderBlock();
    }
    if (!sink(k, ring + b * (kBlockBytes / 2), ReadPositionLog(b))) {
      result = E_FAIL;
      break;
    }
  }
  PlayerStop();
  return result;
}
