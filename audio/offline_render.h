// Offline rendering: exactly the blocks that playback writes into the sound
// buffer one after the other (the 100 blocks of the prefill, then each
// re-rendered block in ring order), as fast as the CPU allows.
#pragma once

#include <cstdint>
#include <functional>

#include "player.h"
#include "renderer.h"

// Called once per block with its 3,536 bytes of PCM and its log entry.
using BlockSink = std::function<bool(std::uint64_t blockNumber, const std::int16_t* pcm, PositionLogEntry entry)>;

// Renders `blocks` blocks of the module; the module is stopped afterwards.
// Returns the PlayerPlay-style result of loading, or E_FAIL if the sink
// refused a block.
HRESULT RenderOffline(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t blocks,
                      const BlockSink& sink);

// Called once per block with the frames of it that were asked for (all
// 884 but in the last block) and its log entry. The PCM lies in the ring:
// blocks that follow one another in the ring follow one another in memory.
using FrameSink = std::function<bool(std::uint64_t blockNumber, const std::int16_t* pcm, std::uint32_t frames,
                                     PositionLogEntry entry)>;

// Renders `frames` frames of the song from frame startFrame on: the same
// audio as those frames of a render from the start. Blocks are counted
// from the start point.
HRESULT RenderOfflineFrames(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t startFrame,
                            std::uint64_t frames, const FrameSink& sink);

// Blocks needed for a number of seconds (rounded up).
std::uint64_t BlocksForSeconds(double seconds);
