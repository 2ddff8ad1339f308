#include "loader.h"

#include <cstdint>
#include <cstring>

#include "module.h"
#include "song.h"
#include "sources.h"

namespace {

// A name field of the file as a C string: its bytes up to the first zero.
template <std::size_t N>
void KeepName(char (&name)[N], const std::uint8_t* bytes) {
  std::size_t n = 0;
  while (n + 1 < N && bytes[n] != 0) {
    name[n] = static_cast<char>(bytes[n]);
    ++n;
  }
  name[n] = '\0';
}

// The engine addresses sample frames with signed 32-bit positions and works
// out loop reflections in 64 bits; 2^28 frames keeps all of that exact.
constexpr std::uint32_t kMaxSampleFrames = 1u << 28;

std::uint16_t U16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t U32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// The position `size` bytes after `base`, both as the file gives them: at
// most the end of the source, where everything reads as zeros, so that no
// size (up to 2^32 - 1) wraps around to an earlier part of the file.
std::int32_t After(std::int64_t base, std::uint32_t size, std::int32_t sourceSize) {
  const std::int64_t target = base + size;
  return target < sourceSize ? static_cast<std::int32_t>(target) : sourceSize;
}

int Fail(Song& song, LoadError error) {
  song.loadError = error;
  return 0;
}

std::uint8_t ReadByte(Source& source) {
  std::uint8_t value = 0;
  source.Read(&value, 1);
  return value;
}

// Unpacks rowCount rows of fileChannels cells each, keeping the first
// usedChannels cells of every row.
// Once the source is exhausted every further cell reads as zeros, which is
// what the zero-filled cells already hold, so unpacking stops there.
void UnpackPattern(Source& source, Pattern& pattern, std::uint32_t usedChannels, std::uint32_t fileChannels,
                   std::int32_t sourceSize) {
  Cell* cell = pattern.cells;
  for (std::uint32_t r = 0; r < pattern.rowCount; ++r) {
    if (source.Seek(0, 1) >= sourceSize) return;
    for (std::uint32_t c = 0; c < fileChannels; ++c) {
      Cell value{};
      const std::uint8_t first = ReadByte(source);
      if (first & 0x80) {
        if (first & 0x01) value.note = ReadByte(source);
        if (first & 0x02) value.instrument = ReadByte(source);
        if (first & 0x04) value.volumeColumn = ReadByte(source);
        if (first & 0x08) value.effect = ReadByte(source);
        if (first & 0x10) value.parameter = ReadByte(source);
      } else {
        std::uint8_t rest[4];
        source.Read(rest, 4);
        value = {first, rest[0], rest[1], rest[2], rest[3]};
      }
      if (value.instrument > 128) value.instrument = 0;
      if (c < usedChannels) *cell++ = value;
    }
  }
}

// Brings a converted sample loop inside the sample: a loop starting at or
// beyond the end is dropped, one reaching past the end is shortened.
void FitLoop(Sample& s) {
  if (s.loopKind != 0) {
    if (s.loopStart >= s.length) {
      s.loopKind = 0;
    } else if (static_cast<std::uint64_t>(s.loopStart) + s.loopLength > s.length) {
      s.loopLength = s.length - s.loopStart;
    }
  }
  if (s.loopKind == 0) {
    s.loopStart = 0;
    s.loopLength = s.length;
  }
}

void DecodeSampleData(Sample& s) {
  std::int16_t* data = s.data;
  if (!s.is16Bit) {
    // Widen in place from the last byte down so nothing is overwritten
    // before it is read.
    auto* bytes = reinterpret_cast<std::uint8_t*>(data);
    for (std::uint32_t i = s.length; i-- > 0;)
      data[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[i]) << 8);
  } else {
    auto* bytes = reinterpret_cast<std::uint8_t*>(data);
    for (std::uint32_t i = 0; i < s.length; ++i)
      data[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  std::uint16_t sum = 0;
  for (std::uint32_t i = 0; i < s.length; ++i) {
    sum = static_cast<std::uint16_t>(sum + static_cast<std::uint16_t>(data[i]));
    data[i] = static_cast<std::int16_t>(sum);
  }
  if (s.loopKind == 1) data[s.length] = data[s.loopStart];
  if (s.loopKind == 2) data[s.length] = data[s.length - 1];
}

struct SampleHeader {
  std::uint32_t length, loopStart, loopLength;
  std::uint8_t volume, finetune, type, panning, relativeNote;
  char name[23];
};

bool LoadInstrument(Song& song, Source& source, Instrument& instrument, std::int32_t sourceSize) {
  const std::int32_t start = source.Seek(0, 1);
  std::uint8_t head[29];
  source.Read(head, sizeof head);
  KeepName(instrument.name, head + 4);
  const std::uint16_t sampleCount = U16(head + 27);
  if (sampleCount > kMaxSamplesPerInstrument) return Fail(song, LoadError::kTooManySamples);
  instrument.sampleCount = sampleCount;

  std::uint8_t body[212];
  source.Read(body, sizeof body);
  std::memcpy(instrument.noteSampleMap, body + 4, kNoteCount);
  for (int i = 0; i < kEnvelopePoints; ++i) {
    instrument.volumeEnvelope[i] = {U16(body + 100 + 4 * i), U16(body + 102 + 4 * i)};
    instrument.panningEnvelope[i] = {U16(body + 148 + 4 * i), U16(body + 150 + 4 * i)};
  }
  const std::uint8_t* p = body + 196;
  instrument.volumePointCount = p[0];
  instrument.panningPointCount = p[1];
  instrument.volumeSustainPoint = p[2];
  instrument.volumeLoopStart = p[3];
  instrument.volumeLoopEnd = p[4];
  instrument.panningSustainPoint = p[5];
  instrument.panningLoopStart = p[6];
  instrument.panningLoopEnd = p[7];
  instrument.volumeEnvelopeFlags = p[8];
  instrument.panningEnvelopeFlags = p[9];
  instrument.autoVibratoType = p[10];
  instrument.autoVibratoSweep = p[11];
  instrument.autoVibratoDepth = p[12];
  instrument.autoVibratoRate = p[13];
  instrument.fadeout = static_cast<std::uint16_t>(U16(p + 14) * 2);

  source.Seek(After(start, U32(head), sourceSize), 0);

  // Envelopes hold at most 12 points; one point or none means no envelope,
  // and a loop that starts beyond the points is no loop.
  auto fitEnvelope = [](std::uint8_t& count, std::uint8_t& flags, std::uint8_t loopStart) {
    if (count > kEnvelopePoints) count = kEnvelopePoints;
    if (count < 2) flags = 0;
    if (loopStart >= count) flags = static_cast<std::uint8_t>(flags & ~kEnvelopeLoop);
  };
  fitEnvelope(instrument.volumePointCount, instrument.volumeEnvelopeFlags, instrument.volumeLoopStart);
  fitEnvelope(instrument.panningPointCount, instrument.panningEnvelopeFlags, instrument.panningLoopStart);

  for (int s = 0; s < kMaxSamplesPerInstrument; ++s) instrument.samples[s] = nullptr;

  SampleHeader headers[kMaxSamplesPerInstrument];
  for (std::uint32_t s = 0; s < sampleCount; ++s) {
    std::uint8_t raw[40];
    source.Read(raw, sizeof raw);
    headers[s] = {U32(raw), U32(raw + 4), U32(raw + 8), raw[12], raw[13], raw[14], raw[15], raw[16], {}};
    KeepName(headers[s].name, raw + 18);
  }

  // The sample data follow the headers one after another; a sample that
  // reaches past the end of the source keeps the whole frames it still has.
  std::int64_t dataPosition = source.Seek(0, 1);
  for (std::uint32_t s = 0; s < sampleCount; ++s) {
    const SampleHeader& h = headers[s];
    Sample header{};
    header.is16Bit = (h.type & 0x10) ? 1 : 0;
    header.loopKind = h.type & 3;
    // Rounded up to even; the largest value would round to 2^32, past the
    // end of every sample (not to 0).
    const std::uint64_t loopStart = (std::uint64_t{h.loopStart} + 1) & ~std::uint64_t{1};
    header.length = h.length;
    header.loopStart = loopStart > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(loopStart);
    header.loopLength = h.loopLength;
    if (header.is16Bit) {
      header.length /= 2;
      header.loopStart /= 2;
      header.loopLength /= 2;
    }
    if (header.loopKind == 0 || header.loopLength == 0) {
      header.loopKind = 0;
      header.loopStart = 0;
      header.loopLength = header.length;
    }
    const std::int64_t frameBytes = header.is16Bit ? 2 : 1;
    std::int64_t available = static_cast<std::int64_t>(sourceSize) - dataPosition;
    if (available < 0) available = 0;
    if (static_cast<std::int64_t>(header.length) * frameBytes > available)
      header.length = static_cast<std::uint32_t>(available / frameBytes);
    dataPosition += static_cast<std::int64_t>(header.length) * frameBytes;
    if (header.length > kMaxSampleFrames) return Fail(song, LoadError::kSampleTooLarge);
    FitLoop(header);
    header.volume = h.volume;
    header.finetune = static_cast<std::int8_t>(h.finetune);
    header.loadedFinetune = header.finetune;
    header.panning = h.panning;
    header.relativeNote = static_cast<std::int8_t>(h.relativeNote);
    std::memcpy(header.name, h.name, sizeof header.name);

    // Block: the fields, a zero entry at index -1, the frames, the guard and
    // two slack entries, all zero-filled.
    const std::size_t bytes = sizeof(Sample) + sizeof(std::int16_t) * (static_cast<std::size_t>(header.length) + 4);
    auto* block = static_cast<Sample*>(ModuleAlloc(song.memory, bytes));
    if (block == nullptr) return Fail(song, LoadError::kOutOfMemory);
    *block = header;
    block->data = reinterpret_cast<std::int16_t*>(block + 1) + 1;
    instrument.samples[s] = block;
  }
  for (int s = sampleCount; s < kMaxSamplesPerInstrument; ++s) instrument.samples[s] = &song.emptySample;

  for (std::uint32_t s = 0; s < sampleCount; ++s) {
    Sample& sample = *instrument.samples[s];
    source.Read(sample.data, sample.length * (sample.is16Bit ? 2u : 1u));
    DecodeSampleData(sample);
  }
  return true;
}

}  // namespace

const char* LoadErrorText(LoadError error) {
  switch (error) {
    case LoadError::kNone: return "no error";
    case LoadError::kNotXm: return "not an XM module";
    case LoadError::kTooManySamples: return "instrument with more than 16 samples";
    case LoadError::kOutOfMemory: return "out of memory";
    case LoadError::kSampleTooLarge: return "sample too large";
  }
  return "unknown error";
}

int LoadModule(Song& song, Source& source) {
  ModuleState& m = song.module;
  song.loadError = LoadError::kNone;
  m.patternTable = nullptr;
  m.instruments = nullptr;
  m.patternCount = 0;
  m.instrumentCount = 0;

  const std::int32_t sourceSize = source.Seek(0, 2);
  source.Seek(0, 0);

  std::uint8_t header[336];
  source.Read(header, sizeof header);
  if (std::memcmp(header, "Exte", 4) != 0) return Fail(song, LoadError::kNotXm);
  KeepName(song.title, header + 17);
  KeepName(song.tracker, header + 38);
  song.version = U16(header + 58);

  const std::uint32_t headerSize = U32(header + 60);
  m.songLength = U16(header + 64);
  m.restartPosition = U16(header + 66);
  const std::uint16_t fileChannelCount = U16(header + 68);
  const std::uint16_t storedPatterns = U16(header + 70);
  const std::uint16_t instrumentCount = U16(header + 72);
  m.flags = U16(header + 74);
  m.defaultTempo = U16(header + 76);
  m.defaultBpm = U16(header + 78);
  std::memcpy(m.orderTable, header + 80, 256);

  // The sequencer needs every order position it reaches to name a pattern.
  if (m.songLength == 0) m.songLength = 1;
  if (m.songLength > 256) m.songLength = 256;
  if (m.restartPosition >= m.songLength) m.restartPosition = 0;

  std::uint32_t usedChannels = fileChannelCount & 0xFF;
  if (usedChannels > kMaxChannels) usedChannels = kMaxChannels;
  // Files with more than 32 channels store all of them; the extra cells of
  // every row are read and dropped.
  const std::uint32_t fileChannels = fileChannelCount > kMaxChannels ? fileChannelCount : usedChannels;
  m.channelCount = static_cast<std::uint16_t>(usedChannels);

  source.Seek(After(60, headerSize, sourceSize), 0);

  std::uint32_t referenced = 0;
  for (std::uint32_t o = 0; o < m.songLength; ++o)
    if (m.orderTable[o] + 1u > referenced) referenced = m.orderTable[o] + 1u;
  const std::uint32_t patternCount = referenced > storedPatterns ? referenced : storedPatterns;

  void* block = ModuleAlloc(song.memory, patternCount * sizeof(Pattern) + instrumentCount * sizeof(Instrument));
  if (block == nullptr) return Fail(song, LoadError::kOutOfMemory);
  m.patternTable = static_cast<Pattern*>(block);
  m.instruments = reinterpret_cast<Instrument*>(m.patternTable + patternCount);
  m.patternCount = static_cast<std::uint16_t>(patternCount);
  m.instrumentCount = instrumentCount;

  for (std::uint32_t p = 0; p < storedPatterns; ++p) {
    Pattern& pattern = m.patternTable[p];
    const std::int32_t patternStart = source.Seek(0, 1);
    std::uint8_t head[9];
    source.Read(head, sizeof head);
    pattern.rowCount = U16(head + 5);
    pattern.packedSize = U16(head + 7);
    // A longer header (as module editors may write) is skipped: the packed
    // data start that many bytes after the pattern's start; beyond the end
    // of the source everything reads as zeros.
    const std::uint32_t headLength = U32(head);
    if (headLength > sizeof head) source.Seek(After(patternStart, headLength, sourceSize), 0);
    const std::uint32_t cellCount = pattern.rowCount * usedChannels;
    if (pattern.packedSize == 0) continue;  // an empty pattern needs no cells
    if (cellCount == 0) {
      source.Seek(pattern.packedSize, 1);
      continue;
    }
    pattern.cells = static_cast<Cell*>(ModuleAlloc(song.memory, cellCount * sizeof(Cell)));
    if (pattern.cells == nullptr) return Fail(song, LoadError::kOutOfMemory);
    UnpackPattern(source, pattern, usedChannels, fileChannels, sourceSize);
  }
  // Patterns the order table uses but the file lacks: 64 empty rows.
  for (std::uint32_t p = storedPatterns; p < patternCount; ++p) m.patternTable[p] = {64, 0, nullptr};

  for (std::uint32_t i = 0; i < instrumentCount; ++i)
    if (!LoadInstrument(song, source, m.instruments[i], sourceSize)) return 0;
  return 1;
}
