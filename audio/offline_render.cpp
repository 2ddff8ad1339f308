#include "offline_render.h"

#include <cfenv>
#include <cmath>
#include <memory>

#include "renderer.h"

std::uint64_t BlocksForSeconds(double seconds) {
  if (!(seconds > 0)) return 0;
  return static_cast<std::uint64_t>(std::ceil(seconds * kSampleRate / kBlockFrames));
}

bool RenderSongRuns(Song& song, std::uint64_t startFrame, std::uint64_t frames, const RunSink& sink) {
  std::fesetenv(FE_DFL_ENV);  // rounding to nearest, as the mixer needs it
  constexpr std::uint32_t kRunBlocks = kRingBlocks;
  const auto pcm = std::make_unique<std::int16_t[]>(std::size_t{kRunBlocks} * kBlockFrames * 2);
  RenderedBlock blocks[kRunBlocks];
  SeekSongToBlock(song, startFrame / kBlockFrames);
  // The first block is handed out from the start frame on.
  std::uint32_t skip = static_cast<std::uint32_t>(startFrame % kBlockFrames);
  std::uint64_t left = frames;
  while (left > 0) {
    std::uint32_t count = 0, runFrames = 0;
    while (count < kRunBlocks && left > 0) {
      const std::uint64_t number = song.renderedFrames / kBlockFrames;
      RenderSongBlock(song);
      const std::uint32_t n = left < kBlockFrames - skip ? static_cast<std::uint32_t>(left) : kBlockFrames - skip;
      ConvertBlock(song.mix + skip, song.mix + kBlockFrames + skip, pcm.get() + 2 * runFrames, 2 * n, song.mixPath);
      const ModuleState& m = song.module;
      const auto position = static_cast<std::uint16_t>((m.orderPosition & 255) | ((m.row & 255) << 8));
      blocks[count++] = {number, n, {position, m.elapsedMs}};
      runFrames += n;
      left -= n;
      skip = 0;
    }
    song.blockOffset = kBlockFrames;
    if (!sink(pcm.get(), runFrames, blocks, count)) return false;
  }
  return true;
}

HRESULT RenderOfflineFrames(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t startFrame,
                            std::uint64_t frames, const FrameSink& sink) {
  std::unique_ptr<Song, void (*)(Song*)> song(CreateSong(), DestroySong);
  if (song == nullptr || !LoadSong(*song, source, param, kind)) return E_INVALIDARG;
  const std::uint64_t first = startFrame / kBlockFrames;
  const bool done = RenderSongRuns(
      *song, startFrame, frames,
      [&](const std::int16_t* pcm, std::uint32_t, const RenderedBlock* blocks, std::uint32_t count) {
        for (std::uint32_t k = 0; k < count; ++k) {
          if (!sink(blocks[k].number - first, pcm, blocks[k].frames, blocks[k].entry)) return false;
          pcm += 2 * blocks[k].frames;
        }
        return true;
      });
  return done ? S_OK : E_FAIL;
}

HRESULT RenderOffline(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t blocks,
                      const BlockSink& sink) {
  return RenderOfflineFrames(source, param, kind, 0, blocks * kBlockFrames,
                             [&](std::uint64_t k, const std::int16_t* pcm, std::uint32_t, PositionLogEntry entry) {
                               return sink(k, pcm, entry);
                             });
}
