// Builds small XM modules in memory for tests: one effect, one instrument,
// a short sample at a time. Every field can be set to what a file may hold,
// including values a well-formed file never has.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "module.h"

struct XmSample {
  std::string name = "sample";
  std::vector<int> frames;  // 8-bit (-128..127) or 16-bit values, before delta coding
  bool is16Bit = false;
  std::uint8_t loopKind = 0;
  std::uint32_t loopStart = 0;   // frames
  std::uint32_t loopLength = 0;  // frames
  std::uint8_t volume = 64;
  std::int8_t finetune = 0;
  std::uint8_t panning = 128;
  std::int8_t relativeNote = 0;
  // Raw header values in bytes, when a test needs them exactly.
  std::optional<std::uint32_t> byteLength, byteLoopStart, byteLoopLength;
  std::optional<std::uint32_t> dataBytes;  // how many data bytes follow (default: all)
};

struct XmInstrument {
  std::string name = "instrument";
  std::vector<XmSample> samples;
  std::uint8_t noteSampleMap[96] = {};
  std::vector<std::pair<std::uint16_t, std::uint16_t>> volumeEnvelope, panningEnvelope;
  std::uint8_t volumeFlags = 0, panningFlags = 0;
  std::uint8_t volumeSustain = 0, volumeLoopStart = 0, volumeLoopEnd = 0;
  std::uint8_t panningSustain = 0, panningLoopStart = 0, panningLoopEnd = 0;
  std::uint8_t vibratoType = 0, vibratoSweep = 0, vibratoDepth = 0, vibratoRate = 0;
  std::uint16_t fadeout = 0;                                // as the file stores it
  std::optional<std::uint16_t> sampleCount;                 // raw count (default: samples.size())
  std::optional<std::uint8_t> volumePoints, panningPoints;  // raw counts
  std::uint32_t headerSize = 263;
};

struct XmPattern {
  std::uint16_t rows = 64;
  std::vector<Cell> cells;                          // rows x channels; missing ones are empty
  std::optional<std::vector<std::uint8_t>> packed;  // raw packed data instead of cells
  std::optional<std::uint16_t> packedSize;          // raw packed size field
  std::uint32_t headerLength = 9;  // 10..65535: that many header bytes, the extra ones 0xEE; larger: the field only
};

struct XmModule {
  std::string id = "Extended Module: ";
  std::string title = "test";
  std::string tracker = "xm_writer";
  std::uint32_t headerSize = 276;
  std::uint16_t channels = 1;
  std::uint16_t restart = 0;
  std::uint16_t flags = 1;  // linear
  std::uint16_t tempo = 6;
  std::uint16_t bpm = 125;
  std::vector<std::uint8_t> orders = {0};
  std::optional<std::uint16_t> songLength;    // raw (default: orders.size())
  std::optional<std::uint16_t> patternCount;  // raw (default: patterns.size())
  std::vector<XmPattern> patterns;
  std::vector<XmInstrument> instruments;

  Cell& At(std::size_t pattern, std::uint16_t row, std::uint16_t channel);
  std::vector<std::uint8_t> Build() const;
};

// A module of `channels` channels and one 64-row pattern, with one
// instrument holding `sample` on every note.
XmModule OneInstrumentModule(const XmSample& sample, std::uint16_t channels = 1);

// A looped square-ish sample of `length` 8-bit frames.
XmSample LoopedSample(std::uint32_t length = 32);

// Note numbers: C-4 is 49.
constexpr std::uint8_t kC4 = 49;
