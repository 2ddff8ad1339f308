#include <cmath>
#include <cstring>

#include "engine_fixture.h"

namespace {

TEST(NoteToPeriodTest, AmigaPeriods) {
  const struct {
    int note, finetune, period;
  } cases[] = {{48, 0, 1712},  {48, 127, 1616}, {48, -128, 1814}, {48, 64, 1664}, {48, -64, 1763},  {48, 1, 1711},
               {48, -1, 1712}, {60, 0, 856},    {95, 0, 113},     {0, 0, 27392},  {0, -128, 28929}, {1, -128, 27392}};
  for (const auto& c : cases) EXPECT_EQ(NoteToPeriod(c.note, c.finetune), c.period) << c.note << " " << c.finetune;
}

class VoiceUpdateTest : public EngineTest {
 protected:
  void SetUp() override {
    std::memset(voices, 0, sizeof voices);
    std::memset(channels, 0, sizeof channels);
    for (int v = 0; v < kVoiceCount; ++v) voices[v].voiceIndex = v, voices[v].stepInt = 1;
    for (int c = 0; c < kMaxChannels; ++c) channels[c].voice = &voices[c];
    moduleState.globalVolume = 64;
    moduleState.flags = 1;
    sample.length = sample.loopLength = 100;
    sample.data = frames + 1;
  }
  Channel& FullScale(int index = 0) {
    Channel& c = channels[index];
    c.volume = 64;
    c.envelopeVolume = 64;
    c.fadeoutVolume = 65536;
    c.panning = 128;
    c.envelopePanning = 32;
    return c;
  }
  std::int16_t frames[104] = {};
  Sample sample{};
};

TEST_F(VoiceUpdateTest, FullScaleVolumeAndGains) {
  Channel& c = FullScale();
  c.updateFlags = UpdateVolume | UpdatePanning;
  UpdateVoice(*song_, c, &sample);
  EXPECT_EQ(voices[0].volume, 128);
  EXPECT_EQ(voices[0].panning, 128);
  EXPECT_EQ(voices[0].leftVolume, 64);
  EXPECT_EQ(voices[0].rightVolume, 63);
}

TEST_F(VoiceUpdateTest, PanningWithEnvelopePull) {
  const struct {
    int panning, envelope, final;
  } cases[] = {{255, 32, 255}, {0, 32, 0},    {128, 64, 255}, {128, 0, 0},    {16, 0, 16},
               {16, 64, 16},   {96, 40, 120}, {200, 0, 168},  {300, 32, 255}, {-20, 64, 0}};
  for (const auto& t : cases) {
    Channel& c = FullScale();
    c.panning = t.panning;
    c.envelopePanning = t.envelope;
    c.updateFlags = UpdateVolume | UpdatePanning;
    UpdateVoice(*song_, c, &sample);
    EXPECT_EQ(voices[0].panning, t.final) << t.panning << " " << t.envelope;
    if (t.final == 255) {
      EXPECT_EQ(voices[0].rightVolume, 0);
    }
    if (t.final == 0) {
      EXPECT_EQ(voices[0].leftVolume, 0);
    }
  }
}

TEST_F(VoiceUpdateTest, FrequencyToStep) {
  const struct {
    bool linear;
    int period, delta;
    std::uint32_t hz;
  } cases[] = {{true, 4608, 0, 8363},  {true, 3840, 0, 16726},  {true, 5376, 0, 4182},    {true, 4672, 64, 8363},
               {false, 1712, 0, 8362}, {false, 856, 0, 16725},  {false, 1000, 712, 8362}, {false, -5, 0, 100},
               {true, 30000, 0, 100},  {true, -2000000, 0, 100}};
  for (const auto& t : cases) {
    moduleState.flags = t.linear ? 1 : 0;
    Channel& c = FullScale();
    c.period = t.period;
    c.periodDelta = t.delta;
    c.updateFlags = UpdatePitch;
    UpdateVoice(*song_, c, &sample);
    EXPECT_EQ(voices[0].stepInt, t.hz / 44100) << t.period;
    EXPECT_EQ(voices[0].stepFrac, static_cast<std::uint32_t>((std::uint64_t{t.hz % 44100} << 32) / 44100)) << t.period;
  }
  moduleState.flags = 1;
  Channel& c = FullScale();
  c.period = 4608;
  c.updateFlags = UpdatePitch;
  UpdateVoice(*song_, c, &sample);
  EXPECT_EQ(voices[0].stepInt, 0u);
  EXPECT_EQ(voices[0].stepFrac, 814485521u);
}

TEST_F(VoiceUpdateTest, ZeroPeriodKeepsTheStep) {
  for (std::uint16_t flags : {0, 1}) {
    moduleState.flags = flags;
    Channel& c = FullScale();
    voices[0].stepInt = 3;
    voices[0].stepFrac = 77;
    c.period = 10;
    c.periodDelta = -10;
    c.updateFlags = UpdatePitch;
    UpdateVoice(*song_, c, &sample);
    EXPECT_EQ(voices[0].stepInt, 3u);
    EXPECT_EQ(voices[0].stepFrac, 77u);
  }
}

TEST_F(VoiceUpdateTest, NotesAlternateBetweenTheVoicePair) {
  Channel& c = FullScale(3);
  c.voice = &voices[3];
  std::vector<int> used;
  for (int n = 0; n < 3; ++n) {
    c.updateFlags = Trigger | UpdateVolume | UpdatePanning;
    UpdateVoice(*song_, c, &sample);
    used.push_back(c.voice->voiceIndex);
    EXPECT_EQ(c.voice->released, 0);
  }
  EXPECT_EQ(used, (std::vector<int>{3, 35, 3}));
  // The voice left behind keeps its sample with gains 0.
  EXPECT_EQ(voices[35].sample, &sample);
  EXPECT_EQ(voices[35].leftVolume, 0);
  EXPECT_EQ(voices[35].rightVolume, 0);
  EXPECT_EQ(voices[35].voiceIndex, 35);
  EXPECT_EQ(voices[35].released, 1);  // no one changes its gains any more
  // A note on a silent voice restarts that voice.
  voices[3].sample = nullptr;
  c.updateFlags = Trigger;
  UpdateVoice(*song_, c, &sample);
  EXPECT_EQ(c.voice->voiceIndex, 3);
}

TEST_F(VoiceUpdateTest, StartOffsetAtTheLoopEndStartsAtZero) {
  Channel& c = FullScale();
  voices[0].startOffset = 100;
  c.updateFlags = Trigger;
  UpdateVoice(*song_, c, &sample);
  EXPECT_EQ(voices[0].positionInt, 0);
  voices[0].sample = nullptr;
  voices[0].startOffset = 99;
  UpdateVoice(*song_, c, &sample);
  EXPECT_EQ(voices[0].positionInt, 99);
  EXPECT_EQ(voices[0].startOffset, 0u);
}

TEST_F(VoiceUpdateTest, StopVoiceSilences) {
  Channel& c = FullScale();
  voices[0].sample = &sample;
  voices[0].positionInt = 40;
  c.updateFlags = StopVoice;
  UpdateVoice(*song_, c, &sample);
  EXPECT_EQ(voices[0].sample, nullptr);
  EXPECT_EQ(voices[0].positionInt, 0);
}

}  // namespace
