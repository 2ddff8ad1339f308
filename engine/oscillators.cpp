// Vibrato and tremolo: a 64-step phase (-32..31) turned into an amplitude by
// one of three waveforms.
#include <cmath>
#include <cstdlib>

#include "float_environment.h"
#include "replayer.h"

namespace {

struct SineTable {
  // Indexed by |phase|; phases stay within -32..31, the rest is a safety net.
  std::int32_t amplitude[129];
  // Built when the library is loaded, which may be by a program that rounds
  // otherwise (dlopen): the table is rounded to nearest all the same.
  SineTable() {
    const FloatEnvironment environment;
    for (int p = 0; p <= 128; ++p)
      amplitude[p] =
          static_cast<std::int32_t>(std::nearbyint(std::fabs(std::sin(p * static_cast<double>(0.09817475f)) * 256.0)));
  }
};

const SineTable sineTable;

// Adds speed to a phase in 8-bit signed arithmetic, wrapping above 31.
std::int8_t AdvancePhase(std::int8_t phase, std::uint8_t speed) {
  std::int8_t next = static_cast<std::int8_t>(static_cast<std::uint8_t>(phase + speed));
  if (next > 31) next = static_cast<std::int8_t>(next - 64);
  return next;
}

}  // namespace

// waveform: 0 sine, 1 ramp, 2 square.
std::int32_t OscillatorAmplitude(std::uint32_t waveform, std::int8_t phase) {
  switch (waveform) {
    case 0: return sineTable.amplitude[std::abs(static_cast<int>(phase))];
    case 1: return phase >= 0 ? (phase * 8) & 255 : 255 - ((phase * 8) & 255);
    default: return 255;
  }
}

void ApplyVibrato(Channel& channel) {
  // Selector 3 is the square, like 2.
  const std::uint32_t selector = channel.waveControl & 3;
  const std::int8_t p = channel.vibratoPosition;
  const std::int32_t a = OscillatorAmplitude(selector == 3 ? 2 : selector, p);
  const std::int32_t d = ((a * channel.vibratoDepth) >> 7) * 4;
  channel.periodDelta = p >= 0 ? -d : d;
  channel.updateFlags |= UpdatePitch;
}

void AdvanceVibrato(Channel& channel) {
  channel.vibratoPosition = AdvancePhase(channel.vibratoPosition, channel.vibratoSpeed);
}

void ApplyTremolo(Channel& channel) {
  // Selector 3 is the sine, like 0.
  const std::uint32_t selector = (channel.waveControl >> 4) & 3;
  const std::int8_t p = channel.tremoloPosition;
  const std::int32_t a = OscillatorAmplitude(selector == 3 ? 0 : selector, p);
  const std::int32_t d = (a * channel.tremoloDepth) >> 6;
  if (p >= 0) {
    channel.volumeDelta = d;
    if (channel.volume + d > 64) channel.volumeDelta = 64 - channel.volume;
  } else {
    channel.volumeDelta = -d;
    if (d > channel.volume) channel.volumeDelta = -channel.volume;
  }
  channel.tremoloPosition = AdvancePhase(channel.tremoloPosition, channel.tremoloSpeed);
  channel.updateFlags |= UpdateVolume;
}
