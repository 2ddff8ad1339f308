// Offline rendering: exactly the blocks that playback writes into the sound
// buffer one after the other, as fast as the CPU allows.
#pragma once

#include <cstdint>
#include <functional>

#include "player.h"

// A block of a render: its number (counted from the song's start), the
// frames of it that were asked for, and its log entry (the position and
// play time at the block's end).
struct RenderedBlock {
  std::uint64_t number;
  std::uint32_t frames;
  PositionLogEntry entry;
};

// Called with up to 100 blocks at a time: their frames one after the other
// in `pcm`, and each block. What `pcm` points to is reused afterwards.
using RunSink =
    std::function<bool(const std::int16_t* pcm, std::uint32_t frames, const RenderedBlock* blocks, std::uint32_t count)>;

// Renders `frames` frames of the song from startFrame on: the song is moved
// there first (without mixing what it skips) and the audio is those frames
// of a render from its start. False when the sink refused a run.
bool RenderSongRuns(Song& song, std::uint64_t startFrame, std::uint64_t frames, const RunSink& sink);

// Called once per block with its 3,536 bytes of PCM and its log entry.
using BlockSink = std::function<bool(std::uint64_t blockNumber, const std::int16_t* pcm, PositionLogEntry entry)>;

// Renders `blocks` blocks of the module. Returns the PlayerPlay-style
// result of loading, or E_FAIL if the sink refused a block.
HRESULT RenderOffline(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t blocks,
                      const BlockSink& sink);

// Called once per block with the frames of it that were asked for (all
// 884 but in the first and the last block) and its log entry. Blocks that
// follow one another in a run of up to 100 follow one another in memory.
using FrameSink = std::function<bool(std::uint64_t blockNumber, const std::int16_t* pcm, std::uint32_t frames,
                                     PositionLogEntry entry)>;

// Renders `frames` frames of the song from frame startFrame on: the same
// audio as those frames of a render from the start. Blocks are counted
// from the start point.
HRESULT RenderOfflineFrames(const void* source, std::uintptr_t param, std::int32_t kind, std::uint64_t startFrame,
                            std::uint64_t frames, const FrameSink& sink);

// Blocks needed for a number of seconds (rounded up).
std::uint64_t BlocksForSeconds(double seconds);
