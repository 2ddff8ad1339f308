// The loaded module and the sequencer state.
//
// Each song (song.h) holds one ModuleState; patterns, instruments and
// samples live in heap blocks that the loader allocates and FreeModule
// releases. Missing samples point at the song's all-zero emptySample,
// missing instruments at the shared, never written emptyInstrument.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kMaxChannels = 32;
constexpr int kMaxSamplesPerInstrument = 16;
constexpr int kEnvelopePoints = 12;
constexpr int kNoteCount = 96;

struct Cell {
  std::uint8_t note;        // 0 none, 1..96 notes, 97 and above key off
  std::uint8_t instrument;  // 0 none, 1..128
  std::uint8_t volumeColumn;
  std::uint8_t effect;
  std::uint8_t parameter;
};
static_assert(sizeof(Cell) == 5);

struct Pattern {
  std::uint16_t rowCount;
  std::uint16_t packedSize;
  // rowCount x channelCount cells, row by row. Null for a pattern that holds
  // no data; every row of such a pattern plays as empty cells.
  Cell* cells;
};

struct EnvelopePoint {
  std::uint16_t x;  // ticks
  std::uint16_t y;  // value 0..64
};

// A sample block: these fields, then the 16-bit frames. data[-1] and the
// entries from data[length] on are readable (zero unless a loop guard).
// `spans` (null when missing) serves the widest mixing loops: entry i, for i
// from -1 to length + 1, holds data[i] * 2^32 + 2 * (data[i + 1] - data[i]),
// whose low 32 bits are the doubled difference, so that one load gives a
// frame both its values. Entry -2 is data[-1] * 2 (a value of 0 before).
// spans + 8k lies on a 64-byte boundary, and every group of eight entries
// that holds one of those is readable (the rest zero), so the loop can load
// them eight at a time. `spanStorage` is the block they lie in.
struct Sample {
  std::uint32_t length;
  std::uint32_t loopStart;
  std::uint32_t loopLength;
  std::uint8_t volume;
  std::int8_t finetune;
  std::uint8_t is16Bit;
  std::uint8_t panning;
  std::int8_t relativeNote;
  std::uint8_t loopKind;  // 0 none, 1 forward, 2 ping-pong, 3 acts like none
  // The finetune as loaded: effect E5 writes into `finetune`, and a song
  // that starts again starts with this one.
  std::int8_t loadedFinetune;
  char name[23];  // the file's bytes up to the first zero, NUL-terminated
  std::int16_t* data;
  std::int64_t* spans;
  std::int64_t* spanStorage;
};

struct Instrument {
  std::uint32_t sampleCount;
  Sample* samples[kMaxSamplesPerInstrument];
  std::uint8_t noteSampleMap[kNoteCount];
  EnvelopePoint volumeEnvelope[kEnvelopePoints];
  EnvelopePoint panningEnvelope[kEnvelopePoints];
  std::uint8_t volumePointCount;
  std::uint8_t panningPointCount;
  std::uint8_t volumeSustainPoint;
  std::uint8_t volumeLoopStart;
  std::uint8_t volumeLoopEnd;
  std::uint8_t panningSustainPoint;
  std::uint8_t panningLoopStart;
  std::uint8_t panningLoopEnd;
  std::uint8_t volumeEnvelopeFlags;  // bit 0 on, bit 1 sustain, bit 2 loop
  std::uint8_t panningEnvelopeFlags;
  std::uint8_t autoVibratoType;
  std::uint8_t autoVibratoSweep;
  std::uint8_t autoVibratoDepth;
  std::uint8_t autoVibratoRate;
  std::uint16_t fadeout;  // twice the file's value, 16 bits
  char name[23];          // the file's bytes up to the first zero, NUL-terminated
};

constexpr std::uint8_t kEnvelopeOn = 1;
constexpr std::uint8_t kEnvelopeSustain = 2;
constexpr std::uint8_t kEnvelopeLoop = 4;

struct ModuleState {
  Pattern* patternTable;
  Instrument* instruments;
  // Playback fields, set by PlayerPlay.
  std::int32_t samplesLeftInTick;
  std::int32_t globalVolume;
  std::int32_t tick;
  std::int32_t speed;
  std::int32_t row;
  std::int32_t orderPosition;
  std::int32_t patternDelayTicks;
  std::int32_t pendingRow;    // -1 none
  std::int32_t pendingOrder;  // -1 none
  std::uint32_t elapsedMs;
  std::uint8_t globalVolumeSlideMemory;
  std::int32_t samplesPerTick;
  // Header fields.
  std::uint16_t songLength;
  std::uint16_t restartPosition;
  std::uint16_t channelCount;
  std::uint16_t patternCount;
  std::uint16_t instrumentCount;
  std::uint16_t flags;  // bit 0: linear frequency table
  std::uint16_t defaultTempo;
  std::uint16_t defaultBpm;
  std::uint8_t orderTable[256];
  // Output frames per second: pitch steps are worked out for it (44,100
  // unless a song is set to another rate).
  std::uint32_t rate;
  // Where the ticks stand in frames at 44,100 Hz, counted from the start of
  // play: at another rate each tick ends at the frame nearest to where it
  // ends at 44,100 Hz, so that the music keeps the same time.
  std::uint64_t tickClock;
};

// The shared stand-in for instrument numbers the module does not have (in a
// namespace, so that no program linking the static library meets the name).
namespace zevora {
extern const Instrument emptyInstrument;
}
using zevora::emptyInstrument;

// A song's module memory: what is in use, the most at once, and the budget
// no file may make it exceed (0 = unlimited).
struct ModuleMemory {
  std::size_t inUse;
  std::size_t peak;
  std::size_t budget;
};

// Module memory comes from these two; each block is counted against the
// song's budget.
void* ModuleAlloc(ModuleMemory& memory, std::size_t bytes);
void ModuleFree(ModuleMemory& memory, void* block);

struct Song;

// Frees every block of the song's module and leaves no module loaded.
void FreeModule(Song& song);

// Adds the spans to the samples of the song's module, up to 64 MB of them
// (best effort: a sample without spans is mixed from its frames alone). A
// song does so when it first renders.
void BuildSampleSpans(Song& song);
// Entries of the storage the spans of a sample of `length` frames take.
std::size_t SpanStorageEntries(std::uint32_t length);
// Fills `storage` (SpanStorageEntries(s.length) entries, zeroed) with the
// spans of s and points s.spans at them.
void FillSampleSpans(Sample& s, std::int64_t* storage);

// The sample that note index lastNote of instrument number index (0-based)
// plays, with the empty records for anything missing.
inline const Instrument* SelectInstrument(const ModuleState& module, std::uint32_t instrumentIndex) {
  if (instrumentIndex < module.instrumentCount) return &module.instruments[instrumentIndex];
  return &emptyInstrument;
}
Sample* SelectSample(Song& song, const Instrument* instrument, std::uint32_t noteIndex);
