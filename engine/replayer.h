// The replayer: row processing, later ticks, envelopes, oscillators and the
// voice update that is the one bridge from channels to voices.
#pragma once

#include <cstdint>

#include "channel.h"
#include "module.h"

struct Song;

// Voice update (channel and voice).
std::int32_t NoteToPeriod(std::int32_t note, std::int32_t finetune);
void UpdateVoice(Song& song, Channel& channel, Sample* sample);

// Envelopes and auto-vibrato.
constexpr std::uint8_t kVolumeEnvelope = 2;
constexpr std::uint8_t kPanningEnvelope = 4;
void StepEnvelope(Channel& channel, const Instrument& instrument, std::uint8_t selector);
void SetEnvelopePosition(Channel& channel, const Instrument& instrument, std::uint32_t position);
void ApplyAutoVibrato(Channel& channel, const Instrument& instrument);
std::int32_t AutoVibratoWave(std::uint8_t type, std::int32_t position);

// Vibrato and tremolo.
std::int32_t OscillatorAmplitude(std::uint32_t waveform, std::int8_t phase);
void ApplyVibrato(Channel& channel);
void AdvanceVibrato(Channel& channel);
void ApplyTremolo(Channel& channel);

// Row processing (first tick of a row).
void ProcessRow(Song& song);
void ApplyVolumeColumn(Channel& channel, std::uint8_t volumeColumn);
void ResetInstrument(Channel& channel, const Sample& sample);
void StepTremor(Channel& channel);

// The channels row processing works on: the header's count read as a
// signed byte.
std::int32_t ChannelCount(const ModuleState& state);

// The effects that move the song (E6, EE, B, D, F), shared with the song
// scan.
void PatternLoop(ModuleState& state, std::int32_t& loopRow, std::int32_t& loopCount, std::uint8_t y);
void PatternDelay(ModuleState& state, std::uint8_t y);
void PositionJump(ModuleState& state, std::uint8_t p, bool& jumped);
void PatternBreak(ModuleState& state, std::uint8_t x, std::uint8_t y, bool jumped);
void SetSpeedOrTempo(ModuleState& state, std::uint8_t p);
// Whichever of them the cell holds, with the channel's loop fields.
void ApplyMovingEffect(ModuleState& state, const Cell& cell, std::int32_t& loopRow, std::int32_t& loopCount,
                       bool& jumped);

// Later ticks.
void ProcessTick(Song& song);
void StepTonePortamento(Channel& channel);

// The cell of channel c in the current row; rows beyond the pattern, and
// patterns without cells, read as empty cells.
// (Inline: every channel reads its cell on every tick.)
inline Cell CurrentCell(const ModuleState& state, std::int32_t channel) {
  const Pattern& pattern = state.patternTable[state.orderTable[state.orderPosition & 255]];
  if (pattern.cells == nullptr || state.row < 0 || state.row >= pattern.rowCount) return Cell{};
  return pattern.cells[static_cast<std::size_t>(state.row) * state.channelCount + channel];
}
