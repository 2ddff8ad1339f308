// Every tick of a row but the first: slides, portamentos, oscillators,
// arpeggio, retriggers, note cut and delay, tremor.
#include <algorithm>

#include "replayer.h"
#include "song.h"

namespace {

// The slides of effects A, 5, 6, H and P: the high nibble of the memory
// slides up (to at most `high`), otherwise the low nibble slides down (to at
// least 0); the up nibble wins when both are set.
std::int32_t NibbleSlide(std::int32_t value, std::uint8_t memory, std::int32_t high) {
  const std::int64_t v = value;
  if (memory >> 4) return static_cast<std::int32_t>(std::min<std::int64_t>(v + (memory >> 4), high));
  if (memory & 15) return static_cast<std::int32_t>(std::max<std::int64_t>(v - (memory & 15), 0));
  return value;
}

void VolumeSlide(Channel& c) {
  c.volume = NibbleSlide(c.volume, c.volumeSlideMemory, 64);
  c.updateFlags |= UpdateVolume;  // also when the memory is 0
}

// Effect H slides once per tick for every channel that carries it.
void GlobalVolumeSlide(ModuleState& state) {
  state.globalVolume = NibbleSlide(state.globalVolume, state.globalVolumeSlideMemory, 64);
}

void PanningSlide(Channel& c) {
  c.panning = NibbleSlide(c.panning, c.panningSlideMemory, 255);
  c.updateFlags |= UpdatePanning;
}

void Arpeggio(const ModuleState& state, Channel& c, const Sample& sample, std::uint8_t x, std::uint8_t y) {
  const std::int32_t phase = state.tick % 3;
  if (phase != 0) {
    const std::int32_t n = phase == 1 ? x : y;
    if (state.flags & 1)
      c.periodDelta = n * 64;
    else
      c.periodDelta = NoteToPeriod(c.realNote + n, sample.finetune) - NoteToPeriod(c.realNote, sample.finetune);
  }
  c.updateFlags |= UpdatePitch;
}

void MultiRetrigger(const ModuleState& state, Channel& c) {
  const std::int32_t interval = c.retrigInterval;
  if (interval == 0 || state.tick % interval != 0) return;
  const std::int32_t k = c.retrigVolumeChange;
  if (k == 0) {
    c.updateFlags |= Trigger;
    return;
  }
  std::int32_t v = c.volume;
  switch (k) {
    case 1: v -= 1; break;
    case 2: v -= 2; break;
    case 3: v -= 4; break;
    case 4: v -= 8; break;
    case 5: v -= 16; break;
    case 6: v = v * 2 / 3; break;
    case 7: v >>= 1; break;
    case 9: v += 1; break;
    case 10: v += 2; break;
    case 11: v += 4; break;
    case 12: v += 8; break;
    case 13: v += 16; break;
    case 14: v = v * 3 / 2; break;
    case 15: v *= 2; break;
    default: break;
  }
  c.volume = Clamp(v, 0, 64);
  c.updateFlags |= UpdateVolume | Trigger;
}

void ExtendedEffect(const ModuleState& state, Channel& c, const Sample& sample, std::uint8_t x, std::uint8_t y,
                    std::uint8_t volumeColumn) {
  switch (x) {
    case 0x9:  // retrigger the sample every y ticks
      if (y != 0 && state.tick % y == 0) c.updateFlags |= UpdatePitch | UpdateVolume | Trigger;
      break;
    case 0xC:  // note cut: only the volume; envelopes and fade-out run on
      if (state.tick == y) {
        c.volume = 0;
        c.updateFlags |= UpdateVolume;
      }
      break;
    case 0xD:  // note delay
      if (state.tick == y) {
        ResetInstrument(c, sample);
        c.period = c.notePeriod;
        c.updateFlags |= UpdatePitch | Trigger;
        ApplyVolumeColumn(c, volumeColumn);
      } else {
        c.updateFlags = 0;
      }
      break;
    default: break;
  }
}

}  // namespace

void StepTonePortamento(Channel& c) {
  c.updateFlags |= UpdatePitch;
  // The period never overshoots the target.
  const std::int64_t step = c.tonePortaSpeed * 4;
  const std::int64_t period = c.period;
  if (period < c.portaTarget)
    c.period = static_cast<std::int32_t>(period + step > c.portaTarget ? c.portaTarget : period + step);
  else
    c.period = static_cast<std::int32_t>(period - step < c.portaTarget ? c.portaTarget : period - step);
}

void ProcessTick(Song& song) {
  ModuleState& state = song.module;
  const std::int32_t count = ChannelCount(state);
  for (std::int32_t ch = 0; ch < count; ++ch) {
    Channel& c = song.channels[ch];
    const Instrument* instrument = SelectInstrument(state, c.instrumentIndex);
    Sample* sample = SelectSample(song, instrument, c.lastNote);
    const Cell cell = CurrentCell(state, ch);
    const std::uint8_t p = cell.parameter;
    const std::uint8_t x = p >> 4;
    const std::uint8_t y = p & 15;

    c.volumeDelta = 0;
    c.periodDelta = 0;
    c.updateFlags = 0;

    if ((instrument->volumeEnvelopeFlags & kEnvelopeOn) && c.volumeEnvelopeDone == 0)
      StepEnvelope(c, *instrument, kVolumeEnvelope);
    if ((instrument->panningEnvelopeFlags & kEnvelopeOn) && c.panningEnvelopeDone == 0)
      StepEnvelope(c, *instrument, kPanningEnvelope);
    if (c.keyOff) {
      c.fadeoutVolume -= instrument->fadeout;
      if (c.fadeoutVolume < 0) c.fadeoutVolume = 0;
      c.updateFlags |= UpdateVolume;
    }

    const std::int32_t l = cell.volumeColumn & 15;
    switch (cell.volumeColumn >> 4) {
      case 0x6:
        c.volume -= l;
        if (c.volume < 0) c.volume = 0;
        c.updateFlags |= UpdateVolume;
        break;
      case 0x7:
        c.volume += l;
        if (c.volume > 64) c.volume = 64;
        c.updateFlags |= UpdateVolume;
        break;
      case 0xB:
        c.vibratoDepth = static_cast<std::uint8_t>(l);
        ApplyVibrato(c);
        AdvanceVibrato(c);
        break;
      case 0xD:
        c.panning = Wrap32(static_cast<std::int64_t>(c.panning) - l);
        c.updateFlags |= UpdatePanning;
        break;
      case 0xE:
        c.panning = Wrap32(static_cast<std::int64_t>(c.panning) + l);
        c.updateFlags |= UpdatePanning;
        break;
      case 0xF: StepTonePortamento(c); break;
      default: break;
    }

    switch (cell.effect) {
      case 0x0:
        if (p != 0) Arpeggio(state, c, *sample, x, y);
        break;
      case 0x1:
        c.period = Wrap32(static_cast<std::int64_t>(c.period) - c.portaUpMemory * 4);
        if (c.period < 56) c.period = 56;  // the floor holds in both frequency modes
        c.periodDelta = 0;
        c.updateFlags |= UpdatePitch;
        break;
      case 0x2:
        c.period = Wrap32(static_cast<std::int64_t>(c.period) + c.portaDownMemory * 4);
        c.periodDelta = 0;
        c.updateFlags |= UpdatePitch;
        break;
      case 0x3:
        c.periodDelta = 0;
        StepTonePortamento(c);
        break;
      case 0x4:
        ApplyVibrato(c);
        AdvanceVibrato(c);
        break;
      case 0x5:
        c.periodDelta = 0;
        StepTonePortamento(c);
        VolumeSlide(c);
        break;
      case 0x6:
        ApplyVibrato(c);
        AdvanceVibrato(c);
        VolumeSlide(c);
        break;
      case 0x7: ApplyTremolo(c); break;
      case 0xA: VolumeSlide(c); break;
      case 0xE: ExtendedEffect(state, c, *sample, x, y, cell.volumeColumn); break;
      case 0x11: GlobalVolumeSlide(state); break;
      case 0x19: PanningSlide(c); break;
      case 0x1B: MultiRetrigger(state, c); break;
      case 0x1D: StepTremor(c); break;
      default: break;
    }

    ApplyAutoVibrato(c, *instrument);
    UpdateVoice(song, c, sample);
  }
}
