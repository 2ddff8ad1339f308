// The replayer's state of one tracker channel.
#pragma once

#include <cstdint>

#include "mixer.h"

// What UpdateVoice must do on this tick.
constexpr std::uint8_t UpdatePitch = 0x01;
constexpr std::uint8_t UpdateVolume = 0x02;
constexpr std::uint8_t UpdatePanning = 0x04;
constexpr std::uint8_t Trigger = 0x08;
constexpr std::uint8_t StopVoice = 0x20;

struct Channel {
  std::uint8_t lastNote;  // note index 0..95 of the last note given without tone portamento
  std::uint8_t updateFlags;
  std::uint8_t instrumentIndex;
  Voice* voice;  // voice n or n + 32 for channel n
  std::int32_t period;
  std::int32_t volume;
  std::int32_t volumeDelta;
  std::int32_t periodDelta;
  std::int32_t panning;
  std::int32_t volumeEnvelopeTick;
  std::int32_t volumeEnvelopePoint;
  std::int32_t volumeEnvelopeSlope;
  std::int32_t panningEnvelopePoint;
  std::int32_t panningEnvelopeTick;
  std::int32_t panningEnvelopeSlope;
  std::int32_t autoVibratoTicks;
  std::int32_t autoVibratoPosition;
  std::uint8_t keyOff;
  std::uint8_t volumeEnvelopeDone;
  std::uint8_t panningEnvelopeDone;
  std::uint8_t tremorCounter;
  std::int32_t volumeEnvelopeValue;   // 16.16
  std::int32_t envelopeVolume;        // 0..64
  std::int32_t panningEnvelopeValue;  // 16.16
  std::int32_t envelopePanning;       // 0..64, 32 = no change
  std::int32_t fadeoutVolume;         // 0..65,536
  std::int32_t notePeriod;
  std::int32_t sampleOffsetMemory;
  std::int32_t portaTarget;
  std::int32_t patternLoopRow;
  std::int32_t patternLoopCount;
  std::uint8_t realNote;
  std::uint8_t lastEffect;
  std::uint8_t portaDownMemory;
  std::uint8_t portaUpMemory;
  std::uint8_t extraFinePortaDownMemory;
  std::uint8_t extraFinePortaUpMemory;
  std::uint8_t volumeSlideMemory;
  std::uint8_t panningSlideMemory;
  std::uint8_t retrigVolumeChange;
  std::uint8_t retrigInterval;
  std::uint8_t tonePortaSpeed;
  std::int8_t vibratoPosition;
  std::uint8_t vibratoSpeed;
  std::uint8_t vibratoDepth;
  std::int8_t tremoloPosition;
  std::uint8_t tremoloSpeed;
  std::uint8_t tremoloDepth;
  std::uint8_t tremorOnTicks;
  std::uint8_t tremorOffTicks;
  std::uint8_t waveControl;  // low nibble vibrato (E4), high nibble tremolo (E7)
  std::uint8_t fineVolumeSlideMemory;
  std::uint8_t finePortaUpMemory;
  std::uint8_t finePortaDownMemory;
  // The pitch UpdateVoice worked out last and the step it gave: a pitch
  // that stands from tick to tick is not worked out again.
  bool stepKnown;
  std::int64_t stepPitch;
  std::uint32_t knownStepInt;
  std::uint32_t knownStepFrac;
};

inline std::int32_t Clamp(std::int32_t value, std::int32_t low, std::int32_t high) {
  return value < low ? low : (value > high ? high : value);
}

// Wrapping 32-bit arithmetic for values that files can drive without bound.
inline std::int32_t Wrap32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}
