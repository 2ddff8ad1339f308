#include <cstring>

#include "engine_fixture.h"

namespace {

using LoaderTest = EngineTest;

TEST_F(LoaderTest, RefusesWrongSignature) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.id = "extended module: ";
  EXPECT_FALSE(Load(m));
  EXPECT_EQ(LastLoadError(), LoadError::kNotXm);
  EXPECT_EQ(moduleState.patternTable, nullptr);
  EXPECT_EQ(moduleState.patternCount, 0);
  EXPECT_EQ(moduleState.instrumentCount, 0);
}

TEST_F(LoaderTest, AcceptsDamagedHeaderAfterSignature) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.id = "Exte and the rest";
  EXPECT_TRUE(Load(m));
}

TEST_F(LoaderTest, RefusesInstrumentWithSeventeenSamples) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.instruments[0].samples.assign(17, LoopedSample(4));
  EXPECT_FALSE(Load(m));
  EXPECT_EQ(LastLoadError(), LoadError::kTooManySamples);
  // What was loaded before the refusal is freed with it.
  EXPECT_EQ(moduleState.patternTable, nullptr);
  EXPECT_EQ(ModuleBytesInUse(), 0u);
}

TEST_F(LoaderTest, KeepsHeaderFields) {
  XmModule m = OneInstrumentModule(LoopedSample(), 4);
  m.orders = {0, 0, 0};
  m.restart = 2;
  m.flags = 0;
  m.tempo = 5;
  m.bpm = 140;
  ASSERT_TRUE(Load(m));
  EXPECT_EQ(moduleState.songLength, 3);
  EXPECT_EQ(moduleState.restartPosition, 2);
  EXPECT_EQ(moduleState.channelCount, 4);
  EXPECT_EQ(moduleState.flags, 0);
  EXPECT_EQ(moduleState.defaultTempo, 5);
  EXPECT_EQ(moduleState.defaultBpm, 140);
}

TEST_F(LoaderTest, SongLengthAndRestartAreBrought_InRange) {
  struct Case {
    std::uint16_t songLength, restart, wantLength, wantRestart;
  } cases[] = {{0, 0, 1, 0}, {300, 5, 256, 5}, {3, 3, 3, 0}, {3, 2, 3, 2}};
  for (const Case& c : cases) {
    XmModule m = OneInstrumentModule(LoopedSample());
    m.orders = {0, 0, 0};
    m.songLength = c.songLength;
    m.restart = c.restart;
    ASSERT_TRUE(Load(m));
    EXPECT_EQ(moduleState.songLength, c.wantLength) << c.songLength;
    EXPECT_EQ(moduleState.restartPosition, c.wantRestart) << c.restart;
    FreeModule();
  }
}

TEST_F(LoaderTest, ReferencedButMissingPatternsAreEmpty64Rows) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.patterns.resize(10);
  for (auto& p : m.patterns) p.rows = 16;
  m.orders = {0, 20, 3};
  m.orders.resize(40, 0);
  m.orders[39] = 200;  // beyond the song length: not counted
  m.songLength = 3;
  ASSERT_TRUE(Load(m));
  EXPECT_EQ(moduleState.patternCount, 21);
  for (int p = 10; p <= 20; ++p) {
    EXPECT_EQ(moduleState.patternTable[p].rowCount, 64);
    EXPECT_EQ(moduleState.patternTable[p].packedSize, 0);
  }
  EXPECT_EQ(moduleState.patternTable[9].rowCount, 16);
}

TEST_F(LoaderTest, HeaderPatternCountAboveOrdersLoadsAll) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.patterns.resize(5);
  m.patterns[4].rows = 7;
  ASSERT_TRUE(Load(m));
  EXPECT_EQ(moduleState.patternCount, 5);
  EXPECT_EQ(moduleState.patternTable[4].rowCount, 7);
}

// Spans for the wide mixer: entry i holds data[i] * 2^32 + 2(data[i + 1] -
// data[i]), from the zero before the first frame to the slack after the
// loop guard; they stop at 64 MB a module (a sample that would pass it is
// mixed from its frames, a later one that fits still gets them) and are
// freed with the module.
TEST_F(LoaderTest, SampleSpans) {
  XmModule m = OneInstrumentModule(LoopedSample());
  XmSample big;
  big.frames.assign(9u << 20, 1);  // 72 MB of spans
  m.instruments[0].samples = {big, LoopedSample()};
  ASSERT_TRUE(Load(m));
  BuildSampleSpans();
  EXPECT_EQ(moduleState.instruments[0].samples[0]->spans, nullptr);
  const Sample& s = *moduleState.instruments[0].samples[1];
  ASSERT_NE(s.spans, nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s.spans) % 64, 0u);  // loaded eight at a time
  for (std::int64_t i = -1; i <= static_cast<std::int64_t>(s.length) + 1; ++i) {
    const std::int32_t a = s.data[i], b = s.data[i + 1];
    EXPECT_EQ(s.spans[i], a * 4294967296LL + 2 * (b - a)) << i;
  }
  FreeModule();
  EXPECT_EQ(ModuleBytesInUse(), 0u);
}

TEST_F(LoaderTest, UnpacksCells) {
  XmModule m = OneInstrumentModule(LoopedSample(), 2);
  m.patterns[0].rows = 3;
  // Row 0: flag 0x80 (empty), then flag 0x9F (all five); row 1: unpacked
  // cell starting with note 0 (still four more bytes), then one with
  // instrument 200 (dropped to 0); row 2: note 97 kept, flags with bits 5-6.
  m.patterns[0].packed = std::vector<std::uint8_t>{0x80, 0x9F, 50,  2,    0x40, 0x0F, 0x06, 0x00, 1,    0x20, 0x0A,
                                                   0x01, 12,   200, 0x10, 0,    0,    0xE1, 97,   0x83, 1,    129};
  ASSERT_TRUE(Load(m));
  const Cell* c = moduleState.patternTable[0].cells;
  ASSERT_NE(c, nullptr);
  const Cell want[6] = {{0, 0, 0, 0, 0},     {50, 2, 0x40, 0x0F, 0x06}, {0, 1, 0x20, 0x0A, 0x01},
                        {12, 0, 0x10, 0, 0}, {97, 0, 0, 0, 0},          {1, 0, 0, 0, 0}};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(c[i].note, want[i].note) << i;
    EXPECT_EQ(c[i].instrument, want[i].instrument) << i;
    EXPECT_EQ(c[i].volumeColumn, want[i].volumeColumn) << i;
    EXPECT_EQ(c[i].effect, want[i].effect) << i;
    EXPECT_EQ(c[i].parameter, want[i].parameter) << i;
  }
}

TEST_F(LoaderTest, MoreThan32ChannelsDropsTheExtraCells) {
  struct Case {
    std::uint16_t fileChannels, used;
  } cases[] = {{40, 32}, {272, 16}, {33, 32}};
  for (const Case& c : cases) {
    XmModule m = OneInstrumentModule(LoopedSample(), c.fileChannels);
    m.patterns[0].rows = 2;
    m.At(0, 0, 0).note = 10;
    m.At(0, 1, 0).note = 11;
    m.At(0, 1, c.used - 1).note = 12;
    m.At(0, 1, c.fileChannels - 1).note = 13;  // dropped
    ASSERT_TRUE(Load(m)) << c.fileChannels;
    EXPECT_EQ(moduleState.channelCount, c.used);
    const Cell* cells = moduleState.patternTable[0].cells;
    EXPECT_EQ(cells[0].note, 10);
    EXPECT_EQ(cells[c.used].note, 11);
    EXPECT_EQ(cells[2 * c.used - 1].note, 12);
    // The instrument after the pattern is still found.
    EXPECT_EQ(moduleState.instruments[0].samples[0]->length, 32u);
    FreeModule();
  }
}

TEST_F(LoaderTest, PackedDataWithoutCellsIsSkipped) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.patterns.resize(2);
  m.patterns[0].rows = 0;
  m.patterns[0].packed = std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7};
  m.patterns[1].rows = 1;
  m.At(1, 0, 0).note = 33;
  ASSERT_TRUE(Load(m));
  EXPECT_EQ(moduleState.patternTable[0].cells, nullptr);
  EXPECT_EQ(moduleState.patternTable[1].cells[0].note, 33);
  EXPECT_EQ(moduleState.instruments[0].samples[0]->length, 32u);
}

TEST_F(LoaderTest, InstrumentFields) {
  XmModule m = OneInstrumentModule(LoopedSample());
  XmInstrument& in = m.instruments[0];
  in.fadeout = 4095;
  in.volumeEnvelope = {{0, 64}, {10, 0}};
  in.volumeFlags = 7;
  in.volumeLoopStart = 1;
  in.panningEnvelope = {{0, 32}};
  in.panningFlags = 1;  // one point: no envelope
  in.vibratoType = 2;
  in.vibratoRate = 9;
  in.noteSampleMap[5] = 3;
  ASSERT_TRUE(Load(m));
  const Instrument& got = moduleState.instruments[0];
  EXPECT_EQ(got.fadeout, 8190);
  EXPECT_EQ(got.volumeEnvelopeFlags, 7);
  EXPECT_EQ(got.panningEnvelopeFlags, 0);
  EXPECT_EQ(got.autoVibratoType, 2);
  EXPECT_EQ(got.autoVibratoRate, 9);
  EXPECT_EQ(got.noteSampleMap[5], 3);
  EXPECT_EQ(got.volumeEnvelope[1].x, 10);
  EXPECT_EQ(got.samples[0]->length, 32u);
  for (int s = 1; s < 16; ++s) EXPECT_EQ(got.samples[s], &emptySample);
}

TEST_F(LoaderTest, FadeoutDoublingWrapsAt16Bits) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.instruments[0].fadeout = 40000;
  ASSERT_TRUE(Load(m));
  EXPECT_EQ(moduleState.instruments[0].fadeout, 14464);
}

TEST_F(LoaderTest, EnvelopePointsAreLimited) {
  XmModule m = OneInstrumentModule(LoopedSample());
  XmInstrument& in = m.instruments[0];
  in.volumeEnvelope = {{0, 64}, {4, 32}, {8, 0}};
  in.volumePoints = 200;
  in.volumeFlags = 5;
  in.volumeLoopStart = 12;  // beyond the points: no loop
  in.panningEnvelope = {{0, 32}, {4, 0}};
  in.panningFlags = 5;
  in.panningLoopStart = 1;
  ASSERT_TRUE(Load(m));
  EXPECT_EQ(moduleState.instruments[0].volumePointCount, 12);
  EXPECT_EQ(moduleState.instruments[0].volumeEnvelopeFlags, 1);
  EXPECT_EQ(moduleState.instruments[0].panningEnvelopeFlags, 5);
}

struct SampleCase {
  const char* name;
  XmSample sample;
  std::uint32_t length, loopStart, loopLength;
  std::uint8_t loopKind;
};

XmSample Raw(bool is16, std::uint32_t frames, std::uint8_t kind, std::uint32_t byteStart, std::uint32_t byteLength) {
  XmSample s;
  s.frames.assign(frames, 1);
  s.is16Bit = is16;
  s.loopKind = kind;
  s.byteLoopStart = byteStart;
  s.byteLoopLength = byteLength;
  return s;
}

TEST_F(LoaderTest, SampleLoopConversion) {
  XmSample odd16 = Raw(true, 10, 0, 0, 0);
  odd16.byteLength = 21;  // one odd byte: 10 frames
  const SampleCase cases[] = {
      {"8-bit loop start rounds up", Raw(false, 32, 1, 5, 10), 32, 6, 10, 1},
      {"16-bit loop start in frames", Raw(true, 32, 1, 3, 8), 32, 2, 4, 1},
      {"16-bit loop of one byte is none", Raw(true, 32, 1, 4, 1), 32, 0, 32, 0},
      {"loop kind 0 means no loop", Raw(false, 32, 0, 4, 8), 32, 0, 32, 0},
      {"kind 3 kept", Raw(false, 32, 3, 4, 8), 32, 4, 8, 3},
      {"loop past the end is shortened", Raw(false, 32, 1, 20, 30), 32, 20, 12, 1},
      {"loop starting past the end is dropped", Raw(false, 32, 2, 40, 4), 32, 0, 32, 0},
      {"kind 3 past the end is shortened", Raw(false, 32, 3, 30, 8), 32, 30, 2, 3},
      {"odd 16-bit length", odd16, 10, 0, 10, 0},
      {"8-bit loop start at the top of the range is past the end", Raw(false, 32, 1, 0xFFFFFFFF, 4), 32, 0, 32, 0},
      {"16-bit loop start at the top of the range is past the end", Raw(true, 32, 2, 0xFFFFFFFF, 8), 32, 0, 32, 0},
  };
  for (const SampleCase& c : cases) {
    XmModule m = OneInstrumentModule(c.sample);
    XmSample next;
    next.frames = {5, 6};
    m.instruments[0].samples.push_back(next);
    ASSERT_TRUE(Load(m)) << c.name;
    const Sample& s = *moduleState.instruments[0].samples[0];
    EXPECT_EQ(s.length, c.length) << c.name;
    EXPECT_EQ(s.loopStart, c.loopStart) << c.name;
    EXPECT_EQ(s.loopLength, c.loopLength) << c.name;
    EXPECT_EQ(s.loopKind, c.loopKind) << c.name;
    // The next sample's data start right after this one's whole frames.
    const Sample& after = *moduleState.instruments[0].samples[1];
    EXPECT_EQ(after.data[0], 5 * 256) << c.name;
    EXPECT_EQ(after.data[1], 6 * 256) << c.name;
    FreeModule();
  }
}

TEST_F(LoaderTest, DeltaDecodingAndGuards) {
  XmSample eight;
  eight.frames = {1, 2, -1};  // deltas 1, 1, -3
  XmSample sixteen;
  sixteen.is16Bit = true;
  sixteen.frames = {1000, -32768, 32767, 5};
  sixteen.loopKind = 2;
  sixteen.loopStart = 1;
  sixteen.loopLength = 2;
  XmSample forward = LoopedSample(8);
  forward.loopStart = 2;
  forward.loopLength = 6;
  forward.frames = {0, 0, 7, 0, 0, 0, 0, 9};
  XmModule m = OneInstrumentModule(eight);
  m.instruments[0].samples.push_back(sixteen);
  m.instruments[0].samples.push_back(forward);
  ASSERT_TRUE(Load(m));
  const Instrument& in = moduleState.instruments[0];
  const std::int16_t* a = in.samples[0]->data;
  EXPECT_EQ(a[0], 256);
  EXPECT_EQ(a[1], 512);
  EXPECT_EQ(a[2], -256);
  EXPECT_EQ(a[3], 0);  // guard of a sample without a loop
  EXPECT_EQ(a[-1], 0);
  EXPECT_EQ(a[4], 0);
  const std::int16_t* b = in.samples[1]->data;
  EXPECT_EQ(b[0], 1000);
  EXPECT_EQ(b[1], -32768);
  EXPECT_EQ(b[2], 32767);
  EXPECT_EQ(b[3], 5);
  EXPECT_EQ(b[4], 5);  // ping-pong guard: the last frame
  const std::int16_t* c = in.samples[2]->data;
  EXPECT_EQ(c[8], 7 * 256);  // forward guard: the loop start frame
}

TEST_F(LoaderTest, TruncatedSampleKeepsWholeFrames) {
  XmSample s = LoopedSample(100);
  s.is16Bit = true;
  s.loopStart = 10;
  s.loopLength = 80;
  s.dataBytes = 51;  // 25 whole frames reach the file
  XmModule m = OneInstrumentModule(s);
  ASSERT_TRUE(Load(m));
  const Sample& got = *moduleState.instruments[0].samples[0];
  EXPECT_EQ(got.length, 25u);
  EXPECT_EQ(got.loopStart, 10u);
  EXPECT_EQ(got.loopLength, 15u);
}

// Every prefix of a small module loads or is refused cleanly; none reads or
// writes outside its records (the sanitizer build checks that).
TEST_F(LoaderTest, EveryTruncationLoadsOrFailsCleanly) {
  XmSample a = LoopedSample(40);
  XmSample b = LoopedSample(30);
  b.is16Bit = true;
  XmModule m = OneInstrumentModule(a, 3);
  m.instruments[0].samples.push_back(b);
  m.instruments[0].volumeEnvelope = {{0, 64}, {5, 20}, {9, 0}};
  m.instruments[0].volumeFlags = 1;
  m.instruments.push_back(m.instruments[0]);
  m.At(0, 0, 0) = {kC4, 1, 0x40, 0xA, 0x0F};
  m.At(0, 5, 2) = {kC4 + 3, 2, 0, 0x4, 0x44};
  const std::vector<std::uint8_t> full = m.Build();
  for (std::size_t size = 0; size <= full.size(); ++size) {
    std::vector<std::uint8_t> part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
    const bool loaded = Load(part);
    EXPECT_EQ(loaded, size >= 4) << size;
    FreeModule();
    EXPECT_EQ(ModuleBytesInUse(), 0u) << size;
  }
}

TEST_F(LoaderTest, HugeHeaderClaimsStayWithinBudget) {
  // 65,535 stored patterns of 65,535 rows and 65,535 instruments in a file
  // of a few hundred bytes.
  XmModule m;
  m.channels = 32;
  m.patternCount = 65535;
  XmPattern p;
  p.rows = 65535;
  p.packed = std::vector<std::uint8_t>{0x80};
  p.packedSize = 65535;
  m.patterns.push_back(p);
  std::vector<std::uint8_t> bytes = m.Build();
  bytes[72] = 0xFF;
  bytes[73] = 0xFF;  // instrument count
  Load(bytes);
  EXPECT_LT(ModuleBytesInUse(), 64 * bytes.size() + (64u << 20));
}

// A header size that reaches past the end of the file, however large,
// puts what follows the header at the end, where everything reads as zeros;
// no size wraps around to an earlier part of the file.
TEST_F(LoaderTest, HeaderSizesPastTheFileReadAsItsEnd) {
  XmSample sample = LoopedSample(40);
  sample.name = "kept";
  XmModule m = OneInstrumentModule(sample);
  m.patterns.clear();  // the order table's pattern 0 is made up: the instrument starts at 336
  const std::vector<std::uint8_t> bytes = m.Build();
  ASSERT_EQ(std::memcmp(bytes.data() + 340, "instrument", 10), 0);
  const auto put32 = [](std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  for (const std::uint32_t size : {0x7FFFFFF0u, 0x80000000u, 0xFFFFFFC4u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(size);
    // The module header's size: the stored patterns and instruments lie
    // beyond the file.
    XmModule stored = OneInstrumentModule(sample);
    std::vector<std::uint8_t> header = stored.Build();
    put32(header, 60, size);
    ASSERT_TRUE(Load(header));
    EXPECT_EQ(moduleState.patternTable[0].rowCount, 0);
    EXPECT_EQ(moduleState.patternTable[0].cells, nullptr);
    EXPECT_EQ(moduleState.instruments[0].sampleCount, 0u);
    FreeModule();
    // The instrument header's size: the sample header and data lie beyond
    // the file.
    std::vector<std::uint8_t> instrument = bytes;
    put32(instrument, 336, size);
    ASSERT_TRUE(Load(instrument));
    ASSERT_EQ(moduleState.instruments[0].sampleCount, 1u);
    EXPECT_EQ(moduleState.instruments[0].samples[0]->length, 0u);
    EXPECT_STREQ(moduleState.instruments[0].samples[0]->name, "");
    FreeModule();
  }
}

TEST_F(LoaderTest, FileSourceReadsLikeMemory) {
  const std::vector<std::uint8_t> bytes = OneInstrumentModule(LoopedSample()).Build();
  const std::string path = ::testing::TempDir() + "/zevora_loader_test.xm";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  ASSERT_TRUE(OpenAndLoadModule(path.c_str(), 0, kSourceFile));
  EXPECT_EQ(moduleState.instruments[0].samples[0]->length, 32u);
  FreeModule();
  EXPECT_FALSE(OpenAndLoadModule("/nonexistent/zevora.xm", 0, kSourceFile));
  EXPECT_FALSE(OpenAndLoadModule("/", 0, kSourceFile));
  std::remove(path.c_str());
}

TEST_F(LoaderTest, CorpusFilesLoad) {
  const auto files = CorpusFiles();
  ASSERT_FALSE(files.empty()) << "no corpus in " << CorpusDir();
  for (const std::string& file : files) {
    ASSERT_TRUE(OpenAndLoadModule(file.c_str(), 0, kSourceFile)) << file;
    EXPECT_GE(moduleState.channelCount, 1) << file;
    for (std::uint32_t i = 0; i < moduleState.instrumentCount; ++i) {
      const Instrument& in = moduleState.instruments[i];
      for (std::uint32_t s = 0; s < in.sampleCount; ++s) {
        const Sample& sm = *in.samples[s];
        EXPECT_LE(std::uint64_t{sm.loopStart} + sm.loopLength, sm.length) << file;
        if (sm.loopKind == 1 || sm.loopKind == 2) {
          EXPECT_GE(sm.loopLength, 1u) << file;
        }
      }
    }
    FreeModule();
  }
}

}  // namespace

namespace {

TEST_F(LoaderTest, LongerPatternHeadersAreSkipped) {
  // Two patterns with a note each; the first pattern's header is longer
  // than 9 bytes. The packed data start after the whole header.
  const auto build = [](std::uint32_t headerLength) {
    XmModule m = OneInstrumentModule(LoopedSample(), 2);
    m.patterns.resize(2);
    m.patterns[1].rows = 16;
    m.orders = {0, 1};
    m.patterns[0].headerLength = headerLength;
    m.At(0, 3, 1) = {kC4, 1, 0x30, 0xA, 0x12};
    m.At(1, 15, 0) = {kC4 + 7, 1, 0, 0xF, 3};
    return m;
  };
  struct Case {
    std::uint32_t headerLength;
    bool cellsRead;  // a length that reaches past the file: everything after it reads as zeros
  } cases[] = {{9, true}, {0, true}, {5, true}, {10, true}, {20, true}, {300, true}, {0xFFFFFFF0u, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.headerLength);
    ASSERT_TRUE(Load(build(c.headerLength)));
    const ModuleState& m = moduleState;
    ASSERT_EQ(m.patternCount, 2);
    if (!c.cellsRead) {
      EXPECT_TRUE(m.patternTable[0].cells == nullptr || m.patternTable[0].cells[3 * 2 + 1].note == 0);
      FreeModule();
      continue;
    }
    const Cell a = m.patternTable[0].cells[3 * 2 + 1];
    EXPECT_EQ(a.note, kC4);
    EXPECT_EQ(a.volumeColumn, 0x30);
    EXPECT_EQ(a.effect, 0xA);
    EXPECT_EQ(a.parameter, 0x12);
    ASSERT_EQ(m.patternTable[1].rowCount, 16);
    const Cell b = m.patternTable[1].cells[15 * 2];
    EXPECT_EQ(b.note, kC4 + 7);
    EXPECT_EQ(b.effect, 0xF);
    EXPECT_EQ(m.instruments[0].samples[0]->length, 32u);
    FreeModule();
  }
}

}  // namespace
