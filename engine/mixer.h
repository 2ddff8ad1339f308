// The 64 voices and the mixer.
//
// Number formats:
// - positions and steps are 32.32 fixed point: P = positionInt * 2^32 +
//   positionFrac, S = stepInt * 2^32 + stepFrac; all position arithmetic is
//   exact 64-bit integer arithmetic in units of 2^-32 of a sample frame;
// - gains are integers on a scale where 255 is 1.0, made float by the float
//   constant 1/255; a gain change ramps linearly over 128 frames with a
//   per-frame step of difference * (float)1/32640;
// - interpolation is linear, with the weight taken from the top 31 bits of
//   the fraction; products and running ramp gains are double, and each sum
//   is rounded to float as it is stored into the mix buffer (16-bit units).
#pragma once

#include <cstdint>

#include "module.h"
#include "simd.h"

constexpr int kVoiceCount = 64;

struct Voice {
  std::int32_t voiceIndex;
  std::int32_t volume;
  std::int32_t panning;
  std::uint32_t startOffset;
  Sample* sample;  // null while silent
  std::int32_t leftVolume;
  std::int32_t rightVolume;
  std::int32_t positionInt;
  std::uint32_t positionFrac;
  std::uint32_t stepFrac;
  std::uint32_t stepInt;
  std::int32_t backward;
  std::int32_t rampLeftTarget;
  std::int32_t rampRightTarget;
  std::int32_t currentLeft;
  std::int32_t currentRight;
  float rampLeftDelta;
  float rampRightDelta;
  std::int32_t rampRemaining;
  // Set when the voice's channel moves on to the pair's other voice: no one
  // changes its gains any more, so once it has faded out it stops.
  std::int32_t released;
};

struct Song;

// Adds frameCount frames of every sounding voice of the song into the two
// halves of the mix, left and right (one float a frame each), by the song's
// mixing path. With `overwrite`, what they hold is not read: the voices are
// mixed onto silence, exactly as into a cleared buffer. The voices of a
// muted channel (voices n and n + 32 for channel n) move on exactly as if
// mixed, but add nothing.
void MixVoices(Song& song, float* left, float* right, std::uint32_t frameCount, bool overwrite = false);
// Moves every voice on by frameCount frames exactly as MixVoices would
// (position, loop direction, gain ramp, a sample's end), without reading
// or adding a sample.
void SkipVoices(Song& song, std::uint32_t frameCount);

// Mixes one voice; MixVoices calls it for voices 0..63 in order. Returns
// whether the voice sounded (mixed at a gain other than 0) in some frame.
// With `overwrite`, a voice that sounds writes every frame of both halves,
// as silence where it does not sound; one that does not writes nothing.
bool MixVoice(Voice& voice, float* left, float* right, std::uint32_t frameCount, bool overwrite = false,
              MixPath path = DefaultMixPath());
// What MixVoice does to the voice, without the mixing.
void SkipVoice(Voice& voice, std::uint32_t frameCount);

// Gain constants, as 32-bit floats.
constexpr float kGainScale = 1.0f / 255.0f;
constexpr float kRampScale = 1.0f / 32640.0f;
