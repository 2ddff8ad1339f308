#include "offline_render.h"

#include <cmath>

#include "memory_sound_buffer.h"

std::uint64_t BlocksForSeconds(double seconds) {
  if (!(seconds > 0)) return 0;
  return static_cast<std::uint64_t>(std::ceil(seconds * kSampleRate / kBlockFrames));
}

HRESULT RenderOfflineFrames(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t startFrame,
                            std::uint64_t frames, const FrameSink& sink) {
  MemorySoundBuffer buffer;
  const HRESULT prepared = PlayerPrepareFrom(source, param, kind, &buffer, startFrame, kNoSongEnd);
  if (prepared < 0) return prepared;
  HRESULT result = S_OK;
  const auto* ring = reinterpret_cast<const std::int16_t*>(buffer.Ring());
  // The ring's first block holds the start frame, `skip` frames in.
  const std::uint64_t skip = startFrame % kBlockFrames;
  const std::uint64_t blocks = (skip + frames + kBlockFrames - 1) / kBlockFrames;
  for (std::uint64_t k = 0; k < blocks; ++k) {
    std::uint32_t b = static_cast<std::uint32_t>(k % kRingBlocks);
    if (k >= kRingBlocks) {
      b = writeBlock;
      RenderBlock();
    }
    const std::uint64_t from = k == 0 ? skip : 0;
    const std::uint64_t left = skip + frames - k * kBlockFrames;
    const std::uint64_t to = left < kBlockFrames ? left : kBlockFrames;
    if (!sink(k, ring + b * (kBlockBytes / 2) + 2 * from, static_cast<std::uint32_t>(to - from), ReadPositionLog(b))) {
      result = E_FAIL;
      break;
    }
  }
  PlayerStop();
  return result;
}

HRESULT RenderOffline(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t blocks,
                      const BlockSink& sink) {
  return RenderOfflineFrames(source, param, kind, 0, blocks * kBlockFrames,
                             [&](std::uint64_t k, const std::int16_t* pcm, std::uint32_t, PositionLogEntry entry) {
                               return sink(k, pcm, entry);
                             });
}
