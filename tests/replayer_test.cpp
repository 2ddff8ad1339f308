// One effect at a time, in tiny modules, checked on the channel and voice
// fields tick by tick.
#include "engine_fixture.h"

namespace {

constexpr std::uint8_t kE4 = kC4 + 4;

class ReplayerTest : public EngineTest {
 protected:
  // Two channels, one instrument (a 32-frame looped sample at volume 48),
  // linear periods, speed 6.
  XmModule Module(std::uint16_t flags = 1) {
    XmSample s = LoopedSample(32);
    s.volume = 48;
    XmModule m = OneInstrumentModule(s, 2);
    m.flags = flags;
    return m;
  }
  void Row(XmModule& m, int row, int channel, Cell cell) {
    m.At(0, static_cast<std::uint16_t>(row), static_cast<std::uint16_t>(channel)) = cell;
  }
  // Runs to tick `tick` of row `row` (that tick processed).
  void RunTo(int row, int tick) {
    do Tick();
    while (!(moduleState.row == row &&
             moduleState.tick == (tick + 1) % (moduleState.speed + moduleState.patternDelayTicks)));
  }
  Channel& C(int i = 0) { return channels[i]; }
};

TEST_F(ReplayerTest, NoteStartsAtItsLinearPeriod) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0, 0});
  Start(m);
  Tick();
  EXPECT_EQ(C().period, 4608);
  EXPECT_EQ(C().volume, 48);
  EXPECT_EQ(voices[0].sample, moduleState.instruments[0].samples[0]);
  EXPECT_EQ(voices[0].stepFrac, 814485521u);
}

TEST_F(ReplayerTest, NoteWithoutInstrumentOnAFreshChannelIsSilent) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 0, 0, 0, 0});
  Start(m);
  Tick();
  EXPECT_NE(voices[0].sample, nullptr);
  EXPECT_EQ(voices[0].volume, 0);
}

TEST_F(ReplayerTest, TonePortamentoWithANewInstrumentGlides) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0, 0});
  Row(m, 1, 0, {kE4, 1, 0x20, 0x3, 0x10});
  Start(m);
  RunTo(0, 5);
  C().volume = 10;
  Tick();  // row 1, tick 0
  EXPECT_EQ(C().lastNote, kC4 - 1);
  EXPECT_EQ(C().period, 4608);
  EXPECT_EQ(C().portaTarget, 4352);
  EXPECT_EQ(C().voice, &voices[0]);  // no new note
  EXPECT_EQ(C().volume, 16);         // reset to 48, then the volume column
  Tick();
  EXPECT_EQ(C().period, 4544);
  Ticks(4);
  EXPECT_EQ(C().period, 4352);  // never past the target
}

TEST_F(ReplayerTest, VolumeColumnToneProtamentoActsLikeEffect3) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0, 0});
  Row(m, 1, 0, {kE4, 0, 0xF0, 0, 0});
  Start(m);
  RunTo(0, 5);
  Tick();
  EXPECT_EQ(C().period, 4608);
  EXPECT_EQ(C().voice, &voices[0]);
  EXPECT_EQ(C().portaTarget, 4352);
}

TEST_F(ReplayerTest, SampleOffsetBeyondTheSampleStopsTheVoice) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0x9, 0x01});
  Start(m);
  Tick();
  EXPECT_EQ(voices[0].sample, nullptr);
  EXPECT_EQ(C().sampleOffsetMemory, 1);
}

TEST_F(ReplayerTest, SampleOffsetWithoutANoteWaitsForTheNext) {
  XmSample s = LoopedSample(1024);
  XmModule m = OneInstrumentModule(s, 1);
  m.At(0, 0, 0) = {0, 0, 0, 0x9, 0x02};
  m.At(0, 1, 0) = {kC4, 1, 0, 0, 0};
  Start(m);
  Tick();
  EXPECT_EQ(voices[0].startOffset, 512u);
  RunTo(1, 0);
  EXPECT_EQ(voices[0].positionInt, 512);
}

TEST_F(ReplayerTest, KeyOffWithANote) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0x14, 0x00});  // K00
  Start(m);
  Tick();
  EXPECT_EQ(C().keyOff, 1);
  EXPECT_EQ(C().envelopeVolume, 0);  // no volume envelope: silent at once
  EXPECT_EQ(voices[0].volume, 0);
}

TEST_F(ReplayerTest, KeyOffLeavesTheSustainAndStartsTheFadeout) {
  XmModule m = Module();
  XmInstrument& in = m.instruments[0];
  in.volumeEnvelope = {{0, 64}, {4, 32}, {8, 0}};
  in.volumeFlags = 3;
  in.volumeSustain = 0;
  in.fadeout = 1000;
  Row(m, 0, 0, {kC4, 1, 0, 0, 0});
  Row(m, 1, 0, {97, 0, 0, 0, 0});
  Start(m);
  RunTo(0, 5);
  EXPECT_EQ(C().envelopeVolume, 64);
  Tick();
  EXPECT_EQ(C().keyOff, 1);
  EXPECT_EQ(C().fadeoutVolume, 65536 - 2000);
  Tick();
  EXPECT_EQ(C().envelopeVolume, 56);
  EXPECT_EQ(C().fadeoutVolume, 65536 - 4000);
}

TEST_F(ReplayerTest, TremorWithoutTimesIsSilent) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0x1D, 0x00});
  Start(m);
  for (int t = 0; t < 6; ++t) {
    Tick();
    EXPECT_EQ(voices[0].volume, 0) << t;
  }
}

TEST_F(ReplayerTest, TremorCycles) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0x1D, 0x21});  // 3 on, 2 off
  m.tempo = 12;
  Start(m);
  std::vector<int> audible;
  for (int t = 0; t < 10; ++t) {
    Tick();
    audible.push_back(voices[0].volume != 0);
  }
  EXPECT_EQ(audible, (std::vector<int>{1, 1, 1, 0, 0, 1, 1, 1, 0, 0}));
}

TEST_F(ReplayerTest, SpeedTempoAndGlobalVolume) {
  const struct {
    Cell cell;
    int speed, samplesPerTick, globalVolume;
  } cases[] = {
      {{0, 0, 0, 0xF, 0x00}, 0, 882, 64},  {{0, 0, 0, 0xF, 0x1F}, 31, 882, 64}, {{0, 0, 0, 0xF, 0x20}, 6, 3445, 64},
      {{0, 0, 0, 0x10, 0x80}, 6, 882, 64}, {{0, 0, 0, 0x10, 0x20}, 6, 882, 32},
  };
  for (const auto& t : cases) {
    XmModule m = Module();
    Row(m, 0, 0, t.cell);
    Start(m);
    Tick();
    EXPECT_EQ(moduleState.speed, t.speed);
    EXPECT_EQ(moduleState.samplesPerTick, t.samplesPerTick);
    EXPECT_EQ(moduleState.globalVolume, t.globalVolume);
    PlayerStop();
  }
}

TEST_F(ReplayerTest, TremoloRemainderStaysInTheVolume) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0x20, 0x7, 0x4F});
  Start(m);
  RunTo(0, 5);
  const int delta = C().volumeDelta;
  EXPECT_NE(delta, 0);
  Tick();  // row 1 has no tremolo
  EXPECT_EQ(C().volume, 16 + delta);
}

TEST_F(ReplayerTest, FinetuneWrittenIntoTheSampleReachesOtherChannels) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0xE, 0x57});
  Row(m, 1, 1, {kC4, 1, 0, 0, 0});
  Start(m);
  Tick();
  EXPECT_EQ(C(0).period, 4608);  // this row's note already has its period
  EXPECT_EQ(moduleState.instruments[0].samples[0]->finetune, 7);
  RunTo(1, 0);
  EXPECT_EQ(C(1).period, 4608 - 3);
}

TEST_F(ReplayerTest, RealNoteWraps) {
  XmModule m = Module();
  m.instruments[0].samples[0].relativeNote = -12;
  Row(m, 0, 0, {1, 1, 0, 0, 0});
  Start(m);
  Tick();
  EXPECT_EQ(C().realNote, 244);
  EXPECT_EQ(C().period, 7680 - 64 * 244);
}

TEST_F(ReplayerTest, ArpeggioInBothModes) {
  for (std::uint16_t flags : {1, 0}) {
    XmModule m = Module(flags);
    Row(m, 0, 0, {kC4, 1, 0, 0x0, 0x37});
    Start(m);
    std::vector<int> deltas;
    for (int t = 0; t < 6; ++t) {
      Tick();
      deltas.push_back(C().periodDelta);
    }
    if (flags) {
      EXPECT_EQ(deltas, (std::vector<int>{0, 192, 448, 0, 192, 448}));
    } else {
      const int up3 = NoteToPeriod(51, 0) - NoteToPeriod(48, 0);
      const int up7 = NoteToPeriod(55, 0) - NoteToPeriod(48, 0);
      EXPECT_EQ(deltas, (std::vector<int>{0, up3, up7, 0, up3, up7}));
    }
    PlayerStop();
  }
}

TEST_F(ReplayerTest, MultiRetriggerVolumeCodes) {
  const int want[16] = {32, 31, 30, 28, 24, 16, 21, 16, 32, 33, 34, 36, 40, 48, 48, 64};
  for (int k = 0; k < 16; ++k) {
    XmModule m = Module();
    Row(m, 0, 0, {kC4, 1, 0x30, 0x1B, static_cast<std::uint8_t>(k << 4 | 2)});
    Start(m);
    Ticks(3);  // tick 2 retriggers
    EXPECT_EQ(C().volume, want[k]) << k;
    EXPECT_EQ(C().voice, &voices[32]) << k;  // the sounding note went to the partner
    PlayerStop();
  }
}

TEST_F(ReplayerTest, RetriggerNoteCutAndNoteDelay) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0, 0xE, 0x93});     // retrigger every 3 ticks
  Row(m, 0, 1, {kC4, 1, 0, 0xE, 0xC2});     // cut on tick 2
  Row(m, 2, 0, {kE4, 1, 0x10, 0xE, 0xD3});  // delay to tick 3
  Row(m, 4, 0, {kE4, 1, 0, 0xE, 0xD8});     // delay beyond the row: never
  Start(m);
  Ticks(3);
  EXPECT_EQ(C(0).voice, &voices[0]);
  EXPECT_EQ(C(1).volume, 0);
  Tick();  // tick 3
  EXPECT_EQ(C(0).voice, &voices[32]);
  RunTo(2, 0);
  EXPECT_EQ(C(0).period, 4608);  // the note waits
  const Voice* before = C(0).voice;
  RunTo(2, 3);
  EXPECT_EQ(C(0).period, 4352);
  EXPECT_NE(C(0).voice, before);
  EXPECT_EQ(C(0).volume, 0);  // volume column applied at the delayed start
  RunTo(4, 5);
  EXPECT_EQ(C(0).period, 4352);
}

TEST_F(ReplayerTest, PortamentoUpStopsAt56) {
  for (std::uint16_t flags : {1, 0}) {
    XmModule m = Module(flags);
    Row(m, 0, 0, {96, 1, 0, 0x1, 0xFF});
    m.tempo = 31;
    Start(m);
    Ticks(31);
    EXPECT_EQ(C().period, 56) << flags;
    PlayerStop();
  }
}

TEST_F(ReplayerTest, VolumeColumnValues) {
  const struct {
    std::uint8_t column;
    int volume;
  } cases[] = {{0x55, 48}, {0x50, 64}, {0x10, 0}, {0x65, 43}, {0x7F, 63}, {0x8F, 33}, {0x9F, 63}};
  for (const auto& t : cases) {
    XmModule m = Module();
    Row(m, 0, 0, {kC4, 1, t.column, 0, 0});
    Start(m);
    Tick();
    EXPECT_EQ(C().volume, t.volume) << std::hex << int{t.column};
    PlayerStop();
  }
}

TEST_F(ReplayerTest, GlobalVolumeSlidesOncePerChannel) {
  XmModule m = Module();
  Row(m, 0, 0, {0, 0, 0, 0x11, 0x02});
  Row(m, 0, 1, {0, 0, 0, 0x11, 0x02});
  Start(m);
  Ticks(3);
  EXPECT_EQ(moduleState.globalVolume, 64 - 8);
}

TEST_F(ReplayerTest, PanningSlideClampsAndVolumeColumnSlideDoesNot) {
  XmModule m = Module();
  Row(m, 0, 0, {kC4, 1, 0xCF, 0x19, 0xF0});
  Row(m, 0, 1, {kC4, 1, 0xEF, 0, 0});
  Start(m);
  Ticks(6);
  EXPECT_EQ(C(0).panning, 255);
  EXPECT_EQ(C(1).panning, 128 + 15 * 6);
  EXPECT_EQ(C(1).voice->panning, 218);  // the voice update limits what reaches the voice
}

}  // namespace
