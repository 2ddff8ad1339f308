// Channel state to voice parameters: the only place where a channel reaches
// its voices and where it switches between the two voices of its pair.
#include <cmath>
#include <cstdlib>

#include "replayer.h"
#include "song.h"

namespace {

constexpr double kTwelfth = static_cast<double>(0.0833333358168602f);  // float nearest 1/12

// Amiga period of note k semitones below the top of the table.
std::int32_t AmigaPeriod(std::int32_t k) {
  return static_cast<std::int32_t>(std::nearbyint(13.375 * std::exp2(static_cast<double>(k) * kTwelfth)));
}

// x / 2^35, rounded to nearest with ties to even.
std::int64_t RoundShift35(std::int64_t x) {
  const std::int64_t q = x >> 35;
  const std::int64_t r = x & ((std::int64_t{1} << 35) - 1);
  const std::int64_t half = std::int64_t{1} << 34;
  if (r > half || (r == half && (q & 1))) return q + 1;
  return q;
}

void SetGains(Voice& v) {
  v.leftVolume = Wrap32(static_cast<std::int64_t>(v.volume) * v.panning / 255);
  v.rightVolume = Wrap32(static_cast<std::int64_t>(v.volume) * (255 - v.panning) / 255);
}

std::int32_t Frequency(const ModuleState& m, const Channel& c) {
  const std::int32_t sum = Wrap32(static_cast<std::int64_t>(c.period) + c.periodDelta);
  if (m.flags & 1) {
    // Linear: semitones above 8363 Hz, 64 period units each.
    const double e = static_cast<double>(4608 - static_cast<std::int64_t>(c.period) + c.periodDelta) / 64.0;
    const double f = std::nearbyint(std::exp2(e * kTwelfth) * 13.375 * 625.2710571289062);
    if (!(f < 2147483648.0)) return INT32_MIN;
    return static_cast<std::int32_t>(f);
  }
  return 14317056 / sum;
}

}  // namespace

std::int32_t NoteToPeriod(std::int32_t note, std::int32_t finetune) {
  const std::int32_t p0 = AmigaPeriod(132 - note);
  const std::int32_t d = (note == 0 || finetune >= 0) ? 1 : -1;
  const std::int32_t p1 = AmigaPeriod(132 - note - d);
  const std::int32_t distance = d == 1 ? p1 - p0 : p0 - p1;
  return p0 + ((finetune * distance) >> 7);
}

void UpdateVoice(Song& song, Channel& channel, Sample* sample) {
  const ModuleState& m = song.module;
  Voice* v = channel.voice;
  const std::uint8_t flags = channel.updateFlags;

  if (flags & Trigger) {
    if (v->sample != nullptr) {
      // The sounding note moves to the partner voice and fades out there.
      const std::int32_t partnerIndex = v->voiceIndex < 32 ? v->voiceIndex + 32 : v->voiceIndex - 32;
      Voice& partner = song.voices[partnerIndex];
      const std::int32_t keep = partner.voiceIndex;
      partner = *v;
      partner.voiceIndex = keep;
      partner.released = 0;
      v->volume = 0;
      v->leftVolume = 0;
      v->rightVolume = 0;
      v->released = 1;
      channel.voice = &partner;
      v = &partner;
    }
    v->sample = sample;
    if (static_cast<std::uint64_t>(v->startOffset) >=
        static_cast<std::uint64_t>(sample->loopStart) + sample->loopLength)
      v->startOffset = 0;
    v->positionInt = static_cast<std::int32_t>(v->startOffset);
    v->positionFrac = 0;
    v->backward = 0;
    v->startOffset = 0;
    v->currentLeft = 0;
    v->currentRight = 0;
    v->rampRemaining = 0;
  }

  if (flags & UpdateVolume) {
    const std::int64_t volume = static_cast<std::int64_t>(channel.volume) + channel.volumeDelta;
    const std::int64_t product = volume * channel.envelopeVolume * channel.fadeoutVolume * m.globalVolume * 255;
    v->volume = Wrap32(RoundShift35(product));
    SetGains(*v);
  }

  if (flags & UpdatePanning) {
    const std::int64_t p = channel.panning;
    const std::int64_t pull =
        ((128 - std::llabs(p - 128)) >> 5) * (static_cast<std::int64_t>(channel.envelopePanning) - 32);
    std::int64_t final = p + pull;
    if (final < 0) final = 0;
    if (final > 255) final = 255;
    v->panning = static_cast<std::int32_t>(final);
    SetGains(*v);
  }

  if (flags & StopVoice) {
    v->sample = nullptr;
    v->positionInt = 0;
    v->positionFrac = 0;
    v->startOffset = 0;
  }

  if (flags & UpdatePitch) {
    const std::int32_t sum = Wrap32(static_cast<std::int64_t>(channel.period) + channel.periodDelta);
    if (sum == 0) return;
    // What the frequency depends on: the semitones in linear mode, the
    // period in Amiga mode.
    const std::int64_t pitch =
        (m.flags & 1) ? 4608 - static_cast<std::int64_t>(channel.period) + channel.periodDelta : sum;
    if (!channel.stepKnown || channel.stepPitch != pitch) {
      std::int32_t f = Frequency(m, channel);
      if (f < 100) f = 100;
      // The step is the frequency over the output rate, in 32.32 fixed point.
      const std::uint32_t hz = static_cast<std::uint32_t>(f);
      channel.knownStepInt = hz / m.rate;
      channel.knownStepFrac = static_cast<std::uint32_t>((std::uint64_t{hz % m.rate} << 32) / m.rate);
      channel.stepPitch = pitch;
      channel.stepKnown = true;
    }
    v->stepInt = channel.knownStepInt;
    v->stepFrac = channel.knownStepFrac;
  }
}
