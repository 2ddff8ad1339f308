#include "module.h"

#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "song.h"

namespace {
struct BlockHeader {
  std::size_t bytes;
  std::size_t pad;
};
}  // namespace

namespace zevora {
const Instrument emptyInstrument = {};
}

void* ModuleAlloc(ModuleMemory& memory, std::size_t bytes) {
  const std::size_t total = bytes + sizeof(BlockHeader);
  if (total < bytes) return nullptr;
  if (memory.budget != 0 && (total > memory.budget || memory.inUse > memory.budget - total)) return nullptr;
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
  memory.inUse += total;
  if (memory.inUse > memory.peak) memory.peak = memory.inUse;
  return header + 1;
}

void ModuleFree(ModuleMemory& memory, void* block) {
  if (block == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  memory.inUse -= header->bytes;
  std::free(header);
}

void FreeModule(Song& song) {
  ModuleState& m = song.module;
  if (m.instruments != nullptr) {
    for (std::uint32_t i = 0; i < m.instrumentCount; ++i) {
      Instrument& instrument = m.instruments[i];
      for (std::uint32_t s = 0; s < instrument.sampleCount && s < kMaxSamplesPerInstrument; ++s) {
        if (instrument.samples[s] != &song.emptySample) {
          if (instrument.samples[s] != nullptr) ModuleFree(song.memory, instrument.samples[s]->spanStorage);
          ModuleFree(song.memory, instrument.samples[s]);
        }
        instrument.samples[s] = nullptr;
      }
    }
  }
  if (m.patternTable != nullptr) {
    for (std::uint32_t p = 0; p < m.patternCount; ++p) {
      ModuleFree(song.memory, m.patternTable[p].cells);
      m.patternTable[p].cells = nullptr;
    }
    ModuleFree(song.memory, m.patternTable);
  }
  m.patternTable = nullptr;
  m.instruments = nullptr;
  m.patternCount = 0;
  m.instrumentCount = 0;
  song.spansBuilt = false;
  // No voice may keep pointing into freed samples.
  for (Voice& v : song.voices) v.sample = nullptr;
}

void BuildSampleSpans(Song& song) {
  ModuleState& m = song.module;
  if (m.instruments == nullptr) return;
  // Spans take four times the frames' memory; past this much in a module,
  // further samples are mixed from their frames alone.
  constexpr std::size_t kMaxSpanBytes = std::size_t{64} << 20;
  std::size_t spanBytes = 0;
  for (std::uint32_t i = 0; i < m.instrumentCount; ++i) {
    Instrument& instrument = m.instruments[i];
    for (std::uint32_t k = 0; k < instrument.sampleCount && k < kMaxSamplesPerInstrument; ++k) {
      Sample* s = instrument.samples[k];
      if (s == nullptr || s == &song.emptySample || s->spans != nullptr) continue;
      const std::size_t bytes = sizeof(std::int64_t) * SpanStorageEntries(s->length);
      if (bytes > kMaxSpanBytes - spanBytes) continue;
      auto* block = static_cast<std::int64_t*>(ModuleAlloc(song.memory, bytes));
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

Sample* SelectSample(Song& song, const Instrument* instrument, std::uint32_t noteIndex) {
  if (instrument == &emptyInstrument) return &song.emptySample;
  const std::uint8_t slot = instrument->noteSampleMap[noteIndex % kNoteCount];
  if (slot >= kMaxSamplesPerInstrument) return &song.emptySample;
  return instrument->samples[slot];
}
