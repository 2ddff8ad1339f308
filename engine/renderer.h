// The block renderer and its tick sequencer.
#pragma once

#include <cstdint>

#include "module.h"
#include "simd.h"

struct Song;

// samplesPerTick = 110,250 / bpm frames at 44,100 Hz (bpm 0 counts as 1).
void PlayerSetBpm(ModuleState& state, std::uint32_t bpm);
// Frame x at 44,100 Hz as a frame at `rate`, rounded to nearest: where the
// tick clock stands at x, a song at `rate` stands at this frame.
std::uint64_t FrameAtRate(std::uint64_t x, std::uint32_t rate);
// The frames of the tick that starts now at the module's rate:
// samplesPerTick at 44,100 Hz; at another rate the tick ends at the frame
// nearest to where it ends at 44,100 Hz (so ticks differ by a frame now and
// then). Moves the tick clock on.
std::uint32_t NextTickFrames(ModuleState& state);
// The frames of the next `ticks` ticks at the tempo that stands, as many
// calls of NextTickFrames would give them, at once.
std::uint64_t NextTicksFrames(ModuleState& state, std::uint64_t ticks);

// Runs one tick of the song: row processing on a row's first tick (where a
// jump asked for at run time is taken), later-tick effects on the others,
// then moves the tick counter on.
void AdvanceTick(Song& song);
// The two halves of the sequencer around row processing: the row tick
// takes the pending position, and a row that asked for no jump schedules
// the next one.
void TakePendingPosition(ModuleState& state);
void ScheduleNextRow(ModuleState& state);

// The playback fields of a module at the start of play: speed and tempo
// from the header, global volume 64, the first row tick pending at order
// position 0, row 0.
void StartSequencer(ModuleState& state);

// Round half to even and clamp to 16 bits.
std::int16_t ConvertSample(float value);
// Converts `count` interleaved values (value k: frame k / 2, left or right)
// from the two halves of the mix.
void ConvertBlock(const float* left, const float* right, std::int16_t* out, std::uint32_t count,
                  MixPath path = DefaultMixPath());
