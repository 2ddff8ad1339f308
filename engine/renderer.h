// The block renderer and its tick sequencer.
#pragma once

#include <atomic>
#include <cstdint>

#include "module.h"
#include "sound_buffer.h"

// One entry per ring block: the song position and play time reached at the
// end of that block. Each entry is one 64-bit word, written and read whole,
// so a reader never sees half of an update.
struct PositionLogEntry {
  std::uint16_t songPosition;  // order position in the low byte, row in the high byte
  std::uint32_t elapsedMs;
};

extern std::atomic<std::uint64_t> positionLog[kRingBlocks];
extern std::atomic<std::uint32_t> positionLogIndex;
extern std::uint32_t writeBlock;
extern SoundBuffer* soundBuffer;
// The float mix area: a block's left half, then its right half. Only the
// block being rendered is ever in use, so one slot serves every ring block
// (and keeps 700 KB of memory untouched).
constexpr std::uint32_t kMixSlots = 1;
extern float mixRing[kMixSlots][kBlockFrames * 2];

// The frame of the song at which the next block begins, counted from the
// start of play, and the frame from which on every block is silent (the
// end of the song, where playback is to end).
constexpr std::uint64_t kNoSongEnd = ~std::uint64_t{0};
extern std::uint64_t songFrame;
extern std::uint64_t songEndFrame;

// Moves the song on by `frames` frames, block by block, exactly as
// rendering them would (sequencer, replayer and voices), without touching
// the sound buffer. Where the mixer's runs end is part of the sound, so
// this matches a render only over whole blocks from the start.
void SkipFrames(std::uint64_t frames);

PositionLogEntry ReadPositionLog(std::uint32_t index);
void ClearPositionLog();

// Renders ring block writeBlock into the sound buffer and moves writeBlock
// on. Negative when the buffer could not be locked.
HRESULT RenderBlock();

// samplesPerTick = 110,250 / bpm (bpm 0 counts as 1).
void PlayerSetBpm(ModuleState& state, std::uint32_t bpm);

// Runs one tick: row processing on a row's first tick, later-tick effects
// on the others, then moves the tick counter on.
void AdvanceTick(ModuleState& state);
// The two halves of the sequencer around row processing: the row tick
// takes the pending position, and a row that asked for no jump schedules
// the next one.
void TakePendingPosition(ModuleState& state);
void ScheduleNextRow(ModuleState& state);

// The playback fields of a module at the start of play: speed and tempo
// from the header, global volume 64, the first row tick pending at order
// position 0, row 0.
void StartSequencer(ModuleState& state);

// Gives a freshly loaded module its start values: voices, channel-to-voice
// ties, speed, tempo, global volume, and a sequencer that starts at order 0,
// row 0.
void ResetPlayback();

// Round half to even and clamp to 16 bits.
std::int16_t ConvertSample(float value);
// Converts `count` interleaved values (value k: frame k / 2, left or right)
// from the two halves of the mix.
void ConvertBlock(const float* left, const float* right, std::int16_t* out, std::uint32_t count);
