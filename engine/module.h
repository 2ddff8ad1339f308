// The loaded module and the sequencer state.
//
// One static ModuleState; patterns, instruments and samples live in heap
// blocks that the loader allocates and FreeModule releases. Missing samples
// and instruments point at the shared all-zero emptySample/emptyInstrument.
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
};

extern ModuleState moduleState;
extern Sample emptySample;
extern Instrument emptyInstrument;

// Module memory comes from these two; the engine keeps count of what is in
// use so that no file can make it take more than its budget.
void* ModuleAlloc(std::size_t bytes);
void ModuleFree(void* block);
std::size_t ModuleBytesInUse();
// The most module memory in use at once since the last reset.
std::size_t ModulePeakBytes();
void ResetModulePeak();
void SetModuleBudget(std::size_t bytes);  // 0 = unlimited

// Frees every block of the loaded module and leaves no module loaded.
void FreeModule();

// Adds the spans to the samples of the loaded module, up to 64 MB of them
// (best effort: a sample without spans is mixed from its frames alone). The
// player does so for the module it plays.
void BuildSampleSpans();
// Entries of the storage the spans of a sample of `length` frames take.
std::size_t SpanStorageEntries(std::uint32_t length);
// Fills `storage` (SpanStorageEntries(s.length) entries, zeroed) with the
// spans of s and points s.spans at them.
void FillSampleSpans(Sample& s, std::int64_t* storage);

// The sample that note index lastNote of instrument number index (0-based)
// plays, with the shared empty records for anything missing.
const Instrument* SelectInstrument(std::uint32_t instrumentIndex);
Sample* SelectSample(const Instrument* instrument, std::uint32_t noteIndex);
