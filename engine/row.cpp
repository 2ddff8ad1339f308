// The first tick of every row: notes, instruments, the volume column, key-off,
// envelopes and the tick-0 part of every effect.
#include "renderer.h"
#include "replayer.h"
#include "song.h"

namespace {

constexpr std::uint8_t kEffectTonePorta = 3;
constexpr std::uint8_t kEffectTonePortaSlide = 5;
constexpr std::uint8_t kEffectTremolo = 7;
constexpr std::uint8_t kEffectKeyOff = 20;

void ExtendedEffect(ModuleState& state, Channel& c, Sample* sample, std::uint8_t x, std::uint8_t y,
                    const std::int32_t remembered[3]) {
  switch (x) {
    case 0x1:
      if (y != 0) c.finePortaUpMemory = y;
      c.period = Wrap32(static_cast<std::int64_t>(c.period) - 4 * c.finePortaUpMemory);
      break;
    case 0x2:
      if (y != 0) c.finePortaDownMemory = y;
      c.period = Wrap32(static_cast<std::int64_t>(c.period) + 4 * c.finePortaDownMemory);
      break;
    case 0x4: c.waveControl = static_cast<std::uint8_t>((c.waveControl & 0xF0) | y); break;
    case 0x5:
      // Written into the sample itself: every later note that uses it, on
      // any channel, plays with this finetune until the module is unloaded.
      sample->finetune = static_cast<std::int8_t>(y);
      break;
    case 0x6: PatternLoop(state, c.patternLoopRow, c.patternLoopCount, y); break;
    case 0x7: c.waveControl = static_cast<std::uint8_t>((c.waveControl & 0x0F) | (y << 4)); break;
    case 0x8:
      c.panning = y * 16;
      c.updateFlags |= UpdatePanning;
      break;
    case 0xA:
      if (y != 0) c.fineVolumeSlideMemory = y;
      c.volume = c.volume + c.fineVolumeSlideMemory;
      if (c.volume > 64) c.volume = 64;
      break;
    case 0xB:
      if (y != 0) c.fineVolumeSlideMemory = y;
      c.volume = c.volume - c.fineVolumeSlideMemory;
      if (c.volume < 0) c.volume = 0;
      break;
    case 0xD:
      // Note delay: the row keeps the old note; a later tick starts this one.
      c.period = remembered[0];
      c.volume = remembered[1];
      c.panning = remembered[2];
      c.updateFlags = 0;
      break;
    case 0xE: PatternDelay(state, y); break;
    default: break;
  }
}

}  // namespace

std::int32_t ChannelCount(const ModuleState& state) { return static_cast<std::int8_t>(state.channelCount & 0xFF); }

// The effects that move the song. They only set pendingRow and
// pendingOrder (taken at the next row tick), the speed, the tempo and the
// pattern delay; the song scan runs them too, with loop fields of its own.
void PatternLoop(ModuleState& state, std::int32_t& loopRow, std::int32_t& loopCount, std::uint8_t y) {
  if (y == 0) {
    loopRow = state.row;
  } else {
    loopCount = loopCount == 0 ? y : loopCount - 1;
    if (loopCount != 0) state.pendingRow = loopRow;
  }
}

void PatternDelay(ModuleState& state, std::uint8_t y) { state.patternDelayTicks = y * state.speed; }

void PositionJump(ModuleState& state, std::uint8_t p, bool& jumped) {
  state.pendingOrder = p;
  state.pendingRow = 0;
  if (p >= state.songLength) state.pendingOrder = 0;
  jumped = true;
}

void PatternBreak(ModuleState& state, std::uint8_t x, std::uint8_t y, bool jumped) {
  state.pendingRow = 10 * x + y;
  if (state.pendingRow > 63) state.pendingRow = 0;
  if (!jumped) state.pendingOrder = state.orderPosition + 1;
  if (state.pendingOrder >= state.songLength) state.pendingOrder = 0;
}

void SetSpeedOrTempo(ModuleState& state, std::uint8_t p) {
  if (p < 32)
    state.speed = p;
  else
    PlayerSetBpm(state, p);
}

void ApplyMovingEffect(ModuleState& state, const Cell& cell, std::int32_t& loopRow, std::int32_t& loopCount,
                       bool& jumped) {
  const std::uint8_t p = cell.parameter;
  const std::uint8_t x = p >> 4;
  const std::uint8_t y = p & 15;
  switch (cell.effect) {
    case 0xB: PositionJump(state, p, jumped); break;
    case 0xD: PatternBreak(state, x, y, jumped); break;
    case 0xE:
      if (x == 0x6) PatternLoop(state, loopRow, loopCount, y);
      if (x == 0xE) PatternDelay(state, y);
      break;
    case 0xF: SetSpeedOrTempo(state, p); break;
    default: break;
  }
}

void ApplyVolumeColumn(Channel& c, std::uint8_t v) {
  const std::int32_t y = v & 15;
  switch (v >> 4) {
    case 0x1:
    case 0x2:
    case 0x3:
    case 0x4: c.volume = v - 0x10; break;
    case 0x5:
      if (v == 0x50) c.volume = 64;
      break;
    case 0x6:
    case 0x8: c.volume = Clamp(c.volume - y, 0, 64); break;
    case 0x7:
    case 0x9: c.volume = Clamp(c.volume + y, 0, 64); break;
    case 0xA: c.vibratoSpeed = static_cast<std::uint8_t>(y); break;
    case 0xB: c.vibratoDepth = static_cast<std::uint8_t>(y); break;
    case 0xC:
      c.panning = y * 16;
      c.updateFlags |= UpdatePanning;
      break;
    case 0xD:
      c.panning = Wrap32(static_cast<std::int64_t>(c.panning) - y);
      c.updateFlags |= UpdatePanning;
      break;
    case 0xE:
      c.panning = Wrap32(static_cast<std::int64_t>(c.panning) + y);
      c.updateFlags |= UpdatePanning;
      break;
    case 0xF:
      if (y != 0) c.tonePortaSpeed = static_cast<std::uint8_t>(y * 16);
      c.portaTarget = c.notePeriod;
      c.updateFlags &= static_cast<std::uint8_t>(~Trigger);
      break;
    default: break;
  }
}

void ResetInstrument(Channel& c, const Sample& sample) {
  c.volume = sample.volume;
  c.panning = sample.panning;
  c.envelopeVolume = 64;
  c.envelopePanning = 32;
  c.fadeoutVolume = 65536;
  c.volumeEnvelopeTick = 0;
  c.volumeEnvelopePoint = 0;
  c.volumeEnvelopeSlope = 0;
  c.panningEnvelopePoint = 0;
  c.panningEnvelopeTick = 0;
  c.panningEnvelopeSlope = 0;
  c.autoVibratoTicks = 0;
  c.autoVibratoPosition = 0;
  c.keyOff = 0;
  c.volumeEnvelopeDone = 0;
  c.panningEnvelopeDone = 0;
  c.tremorCounter = 0;
  // Tremolo control 5..7 (and 4 together with vibrato control 15) keeps the
  // tremolo phase running across notes; vibrato control 4..15 keeps its phase.
  const std::int8_t control = static_cast<std::int8_t>(c.waveControl);
  if (control < 79) c.tremoloPosition = 0;
  if ((c.waveControl & 0x0C) == 0) c.vibratoPosition = 0;
  c.updateFlags |= UpdateVolume | UpdatePanning;
}

void StepTremor(Channel& c) {
  c.updateFlags |= UpdateVolume;
  if (c.tremorCounter >= c.tremorOnTicks) c.volumeDelta = -c.volume;
  std::uint8_t next = static_cast<std::uint8_t>(c.tremorCounter + 1);
  const std::int8_t cycle = static_cast<std::int8_t>(static_cast<std::uint8_t>(c.tremorOnTicks + c.tremorOffTicks));
  if (static_cast<std::int8_t>(next) >= cycle) next = 0;
  c.tremorCounter = next;
}

void ProcessRow(Song& song) {
  ModuleState& state = song.module;
  bool jumped = false;
  const std::int32_t count = ChannelCount(state);
  const bool linear = (state.flags & 1) != 0;
  for (std::int32_t ch = 0; ch < count; ++ch) {
    Channel& c = song.channels[ch];
    const Cell cell = CurrentCell(state, ch);
    const std::uint8_t p = cell.parameter;
    const std::uint8_t x = p >> 4;
    const std::uint8_t y = p & 15;
    const bool tonePorta =
        cell.effect == kEffectTonePorta || cell.effect == kEffectTonePortaSlide || cell.volumeColumn >= 0xF0;
    if (cell.instrument != 0 && !tonePorta) c.instrumentIndex = static_cast<std::uint8_t>(cell.instrument - 1);
    if (cell.note >= 1 && cell.note <= 96 && !tonePorta) c.lastNote = static_cast<std::uint8_t>(cell.note - 1);

    // Under tone portamento this is the instrument and sample already playing.
    const Instrument* instrument = SelectInstrument(state, c.instrumentIndex);
    Sample* sample = SelectSample(song, instrument, c.lastNote);

    const std::int32_t remembered[3] = {c.period, c.volume, c.panning};

    // The tremolo's last offset stays in the volume when the tremolo ends.
    if (c.lastEffect == kEffectTremolo && cell.effect != kEffectTremolo) c.volume = c.volume + c.volumeDelta;
    c.volumeDelta = 0;
    c.periodDelta = 0;
    c.lastEffect = cell.effect;
    c.updateFlags = UpdatePitch | UpdateVolume;

    if (cell.note >= 1 && cell.note <= 96) {
      c.realNote = static_cast<std::uint8_t>(cell.note - 1 + sample->relativeNote);
      if (linear)
        c.notePeriod = 7680 - 64 * c.realNote - sample->finetune / 2;
      else
        c.notePeriod = NoteToPeriod(c.realNote, sample->finetune);
      if (!tonePorta) c.period = c.notePeriod;
      c.updateFlags |= Trigger;
    }
    if (cell.instrument != 0) ResetInstrument(c, *sample);
    ApplyVolumeColumn(c, cell.volumeColumn);
    if (cell.note >= 97 || cell.effect == kEffectKeyOff) c.keyOff = 1;

    if (instrument->volumeEnvelopeFlags & kEnvelopeOn) {
      if (c.volumeEnvelopeDone == 0) StepEnvelope(c, *instrument, kVolumeEnvelope);
    } else if (c.keyOff) {
      c.envelopeVolume = 0;  // a release without a volume envelope silences at once
    }
    if ((instrument->panningEnvelopeFlags & kEnvelopeOn) && c.panningEnvelopeDone == 0)
      StepEnvelope(c, *instrument, kPanningEnvelope);
    if (c.keyOff) {
      c.fadeoutVolume -= instrument->fadeout;
      if (c.fadeoutVolume < 0) c.fadeoutVolume = 0;
    }

    switch (cell.effect) {
      case 0x1:
        if (p != 0) c.portaUpMemory = p;
        break;
      case 0x2:
        if (p != 0) c.portaDownMemory = p;
        break;
      case 0x3:
        if (p != 0) c.tonePortaSpeed = p;
        c.portaTarget = c.notePeriod;
        c.updateFlags &= static_cast<std::uint8_t>(~(UpdatePitch | Trigger));
        break;
      case 0x4:
        if (x != 0) c.vibratoSpeed = x;
        if (y != 0) c.vibratoDepth = y;
        ApplyVibrato(c);
        break;
      case 0x5:
        c.portaTarget = c.notePeriod;
        if (p != 0) c.volumeSlideMemory = p;
        c.updateFlags &= static_cast<std::uint8_t>(~(UpdatePitch | Trigger));
        break;
      case 0x6:
        if (p != 0) c.volumeSlideMemory = p;
        ApplyVibrato(c);
        break;
      case 0x7:
        if (x != 0) c.tremoloSpeed = x;
        if (y != 0) c.tremoloDepth = y;
        break;
      case 0x8:
        c.panning = p;
        c.updateFlags |= UpdatePanning;
        break;
      case 0x9: {
        if (p != 0) c.sampleOffsetMemory = p;
        const std::uint32_t offset = static_cast<std::uint32_t>(c.sampleOffsetMemory) * 256u;
        if (offset < static_cast<std::uint64_t>(sample->loopStart) + sample->loopLength) {
          c.voice->startOffset = offset;
        } else {
          c.updateFlags &= static_cast<std::uint8_t>(~Trigger);
          c.updateFlags |= StopVoice;
        }
        break;
      }
      case 0xA:
        if (p != 0) c.volumeSlideMemory = p;
        break;
      case 0xB: PositionJump(state, p, jumped); break;
      case 0xC:
        c.volume = p;  // not clamped: values above 64 play louder
        break;
      case 0xD: PatternBreak(state, x, y, jumped); break;
      case 0xE: ExtendedEffect(state, c, sample, x, y, remembered); break;
      case 0xF: SetSpeedOrTempo(state, p); break;
      case 0x10: state.globalVolume = p > 64 ? 64 : p; break;
      case 0x11:
        if (p != 0) state.globalVolumeSlideMemory = p;
        break;
      case 0x15:
        if (instrument->volumeEnvelopeFlags & kEnvelopeOn) SetEnvelopePosition(c, *instrument, p);
        break;
      case 0x19:
        if (p != 0) {
          c.panningSlideMemory = p;
          c.updateFlags |= UpdatePanning;
        }
        break;
      case 0x1B:
        if (p != 0) {
          c.retrigVolumeChange = x;
          c.retrigInterval = y;
        }
        break;
      case 0x1D:
        if (p != 0) {
          c.tremorOnTicks = static_cast<std::uint8_t>(x + 1);
          c.tremorOffTicks = static_cast<std::uint8_t>(y + 1);
        }
        StepTremor(c);
        break;
      case 0x21:
        if (x == 1) {
          if (y != 0) c.extraFinePortaUpMemory = y;
          c.period = Wrap32(static_cast<std::int64_t>(c.period) - c.extraFinePortaUpMemory);
        } else if (x == 2) {
          if (y != 0) c.extraFinePortaDownMemory = y;
          c.period = Wrap32(static_cast<std::int64_t>(c.period) + c.extraFinePortaDownMemory);
        }
        break;
      default: break;
    }

    ApplyAutoVibrato(c, *instrument);
    UpdateVoice(song, c, sample);
  }
}
