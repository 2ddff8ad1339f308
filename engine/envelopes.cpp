// Volume and panning envelopes, and the instrument's auto-vibrato.
//
// Envelope values are 16.16 fixed point in signed 32 bits; file values up to
// 65,535 can overflow them, which wraps as two's complement.
#include <climits>
#include <cmath>

#include "float_environment.h"
#include "replayer.h"

namespace {

struct EnvelopeRefs {
  std::int32_t& tick;
  std::int32_t& point;
  std::int32_t& slope;
  std::int32_t& value;
  std::int32_t& output;
  std::uint8_t& done;
  const EnvelopePoint* points;
  std::uint8_t count;
  std::uint8_t sustain;
  std::uint8_t loopStart;
  std::uint8_t loopEnd;
  std::uint8_t flags;
};

EnvelopeRefs Select(Channel& c, const Instrument& in, std::uint8_t selector) {
  if (selector == kVolumeEnvelope)
    return {c.volumeEnvelopeTick,  c.volumeEnvelopePoint, c.volumeEnvelopeSlope, c.volumeEnvelopeValue,
            c.envelopeVolume,      c.volumeEnvelopeDone,  in.volumeEnvelope,     in.volumePointCount,
            in.volumeSustainPoint, in.volumeLoopStart,    in.volumeLoopEnd,      in.volumeEnvelopeFlags};
  return {c.panningEnvelopeTick,  c.panningEnvelopePoint, c.panningEnvelopeSlope, c.panningEnvelopeValue,
          c.envelopePanning,      c.panningEnvelopeDone,  in.panningEnvelope,     in.panningPointCount,
          in.panningSustainPoint, in.panningLoopStart,    in.panningLoopEnd,      in.panningEnvelopeFlags};
}

std::int32_t Fixed(std::uint16_t y) { return Wrap32(static_cast<std::int64_t>(y) * 65536); }

// Change per tick between two points, 32-bit signed, truncating toward zero.
std::int32_t Slope(const EnvelopePoint& a, const EnvelopePoint& b) {
  if (a.x == b.x) return 0;
  const std::int32_t rise = Wrap32(static_cast<std::int64_t>(Fixed(b.y)) - Fixed(a.y));
  const std::int32_t run = static_cast<std::int32_t>(b.x) - static_cast<std::int32_t>(a.x);
  if (rise == INT32_MIN && run == -1) return INT32_MIN;
  return rise / run;
}

std::uint8_t PointCount(std::uint8_t count) { return count > kEnvelopePoints ? kEnvelopePoints : count; }

}  // namespace

void StepEnvelope(Channel& channel, const Instrument& instrument, std::uint8_t selector) {
  EnvelopeRefs e = Select(channel, instrument, selector);
  const std::int32_t n = PointCount(e.count);
  channel.updateFlags |= selector;
  if (e.point < 0 || e.point >= n) {
    e.output = e.value >> 16;
    return;
  }
  if (e.tick != e.points[e.point].x) {
    // Between two points.
    e.value = Wrap32(static_cast<std::int64_t>(e.value) + e.slope);
    e.output = e.value >> 16;
    e.tick = Wrap32(static_cast<std::int64_t>(e.tick) + 1);
    return;
  }
  // On a point; at the loop end the loop start's value is output at once.
  if ((e.flags & kEnvelopeLoop) && e.point == e.loopEnd && e.loopStart < n) {
    e.point = e.loopStart;
    e.tick = e.points[e.loopStart].x;
  }
  const std::int32_t i = e.point;
  e.output = e.points[i].y;
  if (i == n - 1) {
    e.done = 1;
    return;
  }
  // The sustain point holds until the key is released.
  if ((e.flags & kEnvelopeSustain) && i == e.sustain && channel.keyOff == 0) return;
  e.slope = Slope(e.points[i], e.points[i + 1]);
  e.value = Fixed(e.points[i].y);
  e.point = i + 1;
  e.tick = Wrap32(static_cast<std::int64_t>(e.tick) + 1);
}

void SetEnvelopePosition(Channel& channel, const Instrument& instrument, std::uint32_t position) {
  EnvelopeRefs e = Select(channel, instrument, kVolumeEnvelope);
  const std::int32_t n = PointCount(e.count);
  if (n == 0) return;
  std::int32_t i = n - 1;
  for (std::int32_t k = 0; k <= n - 2; ++k) {
    if (position <= e.points[k + 1].x) {
      i = k;
      break;
    }
  }
  e.point = i;
  if (i >= n - 1) {
    e.output = e.points[n - 1].y;
    e.done = 1;
    return;
  }
  e.done = 0;
  e.tick = static_cast<std::int32_t>(position);
  e.slope = Slope(e.points[i], e.points[i + 1]);
  e.point = i + 1;
  const std::int64_t offset = static_cast<std::int64_t>(position) - e.points[i].x;
  e.value = Wrap32(static_cast<std::int64_t>(Fixed(e.points[i].y)) + Wrap32(offset * e.slope));
  e.output = e.value >> 16;
}

namespace {
std::int32_t AutoVibratoSine(std::int32_t position) {
  return static_cast<std::int32_t>(std::nearbyint(std::sin(position * static_cast<double>(0.024543688f)) * 64.0));
}

// The sine for the positions a channel steps through (0..255), worked out
// once with the same operations, rounding to nearest also when the program
// that loads the library rounds otherwise.
struct AutoVibratoSineTable {
  std::int32_t value[256];
  AutoVibratoSineTable() {
    const FloatEnvironment environment;
    for (std::int32_t p = 0; p < 256; ++p) value[p] = AutoVibratoSine(p);
  }
};

const AutoVibratoSineTable autoVibratoSineTable;
}  // namespace

std::int32_t AutoVibratoWave(std::uint8_t type, std::int32_t position) {
  switch (type) {
    case 0:
      if (position >= 0 && position < 256) return autoVibratoSineTable.value[position];
      return AutoVibratoSine(position);
    case 1: return position < 128 ? 64 : -64;
    case 2: return (128 - ((position - 128) & 255)) >> 1;
    default: return (128 - ((-128 - position) & 255)) >> 1;
  }
}

void ApplyAutoVibrato(Channel& channel, const Instrument& instrument) {
  // Most instruments have no auto-vibrato (depth 0): then it adds nothing,
  // but its position and ticks still move on.
  if (instrument.autoVibratoDepth != 0) {
    std::int32_t m = AutoVibratoWave(instrument.autoVibratoType, channel.autoVibratoPosition) *
                     static_cast<std::int32_t>(instrument.autoVibratoDepth);
    if (instrument.autoVibratoSweep != 0)
      m = static_cast<std::int32_t>(static_cast<std::int64_t>(channel.autoVibratoTicks) * m /
                                    instrument.autoVibratoSweep);
    channel.periodDelta = Wrap32(static_cast<std::int64_t>(channel.periodDelta) + (m >> 6));
  }
  channel.autoVibratoTicks += 1;
  if (channel.autoVibratoTicks > instrument.autoVibratoSweep) channel.autoVibratoTicks = instrument.autoVibratoSweep;
  channel.updateFlags |= UpdatePitch;
  channel.autoVibratoPosition += instrument.autoVibratoRate;
  if (channel.autoVibratoPosition >= 256) channel.autoVibratoPosition -= 256;
}
