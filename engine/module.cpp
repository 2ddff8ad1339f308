#include "module.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

ModuleState moduleState;

namespace {
// The empty sample's data pointer lands on a zero entry with readable zeros
// on both sides, like a loaded sample's guard entries.
std::int16_t emptySampleFrames[4] = {0, 0, 0, 0};

struct BlockHeader {
  std::size_t bytes;
  std::size_t pad;
};

std::size_t bytesInUse = 0;
std::size_t peakBytes = 0;
std::size_t budget = 0;
}  // namespace

Sample emptySample = {0, 0, 0, 0, 0, 0, 0, 0, 0, emptySampleFrames + 1, nullptr, nullptr};
Instrument emptyInstrument = {};

void* ModuleAlloc(std::size_t bytes) {
  const std::size_t total = bytes + sizeof(BlockHeader);
  if (total < bytes) return nullptr;
  if (budget != 0 && (total > budget || bytesInUse > budget - total)) return nullptr;
  auto* header = static_cast<BlockHeader*>(std::calloc(1, total));
  if (header == nullptr) return nullptr;
#ifdef MADV_POPULATE_WRITE
  // Large blocks (sample data) are about to be written in full: map their
  // pages in one call rather than one fault at a time (best effort).
  if (total >= 65536) {
    const auto first = (reinterpret_cast<std::uintptr_t>(header) + 4095) & ~std::uintptr_t{4095};
    const auto last = (reinterpret_cast<std::uintptr_t>(header) + total) & ~std::uintptr_t{4095};
    if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
  }
#endif
  header->bytes = total;
  bytesInUse += total;
  if (bytesInUse > peakBytes) peakBytes = bytesInUse;
  return header + 1;
}

void ModuleFree(void* block) {
  if (block == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  bytesInUse -= header->bytes;
  std::free(header);
}

std::size_t ModuleBytesInUse() { return bytesInUse; }

std::size_t ModulePeakBytes() { return peakBytes; }

void ResetModulePeak() { peakBytes = bytesInUse; }

void SetModuleBudget(std::size_t bytes) { budget = bytes; }

void FreeModule() {
  ModuleState& m = moduleState;
  if (m.instruments != nullptr) {
    for (std::uint32_t i = 0; i < m.instrumentCount; ++i) {
      Instrument& instrument = m.instruments[i];
      for (std::uint32_t s = 0; s < instrument.sampleCount && s < kMaxSamplesPerInstrument; ++s) {
        if (instrument.samples[s] != &emptySample) {
          if (instrument.samples[s] != nullptr) ModuleFree(instrument.samples[s]->spanStorage);
          ModuleFree(instrument.samples[s]);
        }
        instrument.samples[s] = nullptr;
      }
    }
  }
  if (m.patternTable != nullptr) {
    for (std::uint32_t p = 0; p < m.patternCount; ++p) {
      ModuleFree(m.patternTable[p].cells);
      m.patternTable[p].cells = nullptr;
    }
    ModuleFree(m.patternTable);
  }
  m.patternTable = nullptr;
  m.instruments = nullptr;
  m.patternCount = 0;
  m.instrumentCount = 0;
}

void BuildSampleSpans() {
  ModuleState& m = moduleState;
  if (m.instruments == nullptr) return;
  // Spans take four times the frames' memory; past this much in a module,
  // further samples are mixed from their frames alone.
  constexpr std::size_t kMaxSpanBytes = std::size_t{64} << 20;
  std::size_t spanBytes = 0;
  for (std::uint32_t i = 0; i < m.instrumentCount; ++i) {
    Instrument& instrument = m.instruments[i];
    for (std::uint32_t k = 0; k < instrument.sampleCount && k < kMaxSamplesPerInstrument; ++k) {
      Sample* s = instrument.samples[k];
      if (s == nullptr || s == &emptySample || s->spans != nullptr) continue;
      const std::size_t bytes = sizeof(std::int64_t) * SpanStorageEntries(s->length);
      if (bytes > kMaxSpanBytes - spanBytes) continue;
      auto* block = static_cast<std::int64_t*>(ModuleAlloc(bytes));
      if (block == nullptr) continue;
      FillSampleSpans(*s, block);
      spanBytes += bytes;
    }
  }
}

// Eight entries before entry 0 (the group holding entry -1), the groups up
// to entry length + 1, one group more (a loop loads two neighbouring groups),
// and room to put entry 0 on a 64-byte boundary.
std::size_t SpanStorageEntries(std::uint32_t length) {
  return 8 + ((static_cast<std::size_t>(length) + 2 + 7) & ~std::size_t{7}) + 8 + 7;
}

void FillSampleSpans(Sample& s, std::int64_t* storage) {
  const auto misalignment = reinterpret_cast<std::uintptr_t>(storage) % 64 / sizeof(std::int64_t);
  std::int64_t* spans = storage + (8 - misalignment) % 8 + 8;
  const std::int16_t* d = s.data;
  const auto span = [](std::int32_t a, std::int32_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(a)) << 32) + 2 * (b - a);
  };
  // Entry -2 leads up to data[-1] from a value of 0 (the loop reads it for a
  // frame just past entry -1's start).
  spans[-2] = span(0, d[-1]);
  for (std::int64_t i = -1; i <= static_cast<std::int64_t>(s.length) + 1; ++i) spans[i] = span(d[i], d[i + 1]);
  s.spans = spans;
  s.spanStorage = storage;
}

const Instrument* SelectInstrument(std::uint32_t instrumentIndex) {
  if (instrumentIndex < moduleState.instrumentCount) return &moduleState.instruments[instrumentIndex];
  return &emptyInstrument;
}

Sample* SelectSample(const Instrument* instrument, std::uint32_t noteIndex) {
  if (instrument == &emptyInstrument) return &emptySample;
  const std::uint8_t slot = instrument->noteSampleMap[noteIndex % kNoteCount];
  if (slot >= kMaxSamplesPerInstrument) return &emptySample;
  return instrument->samples[slot];
}
