#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "audio_setup.h"
#include "effects.h"
#include "failing_new.h"
#include "fake_audio_device.h"
#include "looping_sound_buffer.h"
#include "memory_sound_buffer.h"

namespace {

class BufferTest : public ::testing::Test {
 protected:
  void SetUp() override { Make(true); }
  void Make(bool effects) {
    buffer = std::make_unique<LoopingSoundBuffer>(std::make_unique<FakeAudioDevice>(control), effects);
    ASSERT_TRUE(buffer->Start());
  }
  // Writes `value` into every sample of [offset, offset + bytes).
  void Fill(std::uint32_t offset, std::uint32_t bytes, std::int16_t value) {
    void* region = nullptr;
    std::uint32_t length = 0;
    ASSERT_GE(buffer->Lock(offset, bytes, &region, &length, nullptr, nullptr, 0), 0);
    auto* p = static_cast<std::int16_t*>(region);
    for (std::uint32_t i = 0; i < length / 2; ++i) p[i] = value;
    ASSERT_GE(buffer->Unlock(region, length, nullptr, 0), 0);
  }
  void FillRamp() {
    void* region = nullptr;
    std::uint32_t length = 0;
    ASSERT_GE(buffer->Lock(0, kRingBytes, &region, &length, nullptr, nullptr, 0), 0);
    auto* p = static_cast<std::int16_t*>(region);
    for (std::uint32_t i = 0; i < length / 2; ++i) p[i] = static_cast<std::int16_t>(i * 7);
    buffer->Unlock(region, length, nullptr, 0);
  }
  std::uint32_t Cursor() {
    std::uint32_t c = 0;
    buffer->GetCurrentPosition(&c, nullptr);
    return c;
  }
  std::uint32_t Status() {
    std::uint32_t s = 0;
    buffer->GetStatus(&s);
    return s;
  }
  FakeAudioDevice::Control control;
  std::unique_ptr<LoopingSoundBuffer> buffer;
};

TEST_F(BufferTest, CursorMovesOnlyWhilePlayingAndWraps) {
  FillRamp();
  EXPECT_EQ(PullFrames(control, 100), std::vector<std::int16_t>(200, 0));  // stopped: silence
  EXPECT_EQ(Cursor(), 0u);
  EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), S_OK);
  EXPECT_EQ(Status(), DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  const auto first = PullFrames(control, 10);
  EXPECT_EQ(first[3], 21);
  EXPECT_EQ(Cursor(), 40u);
  buffer->Stop();
  EXPECT_EQ(Status(), 0u);
  PullFrames(control, 10);
  EXPECT_EQ(Cursor(), 40u);  // Stop leaves the cursor where it is
  buffer->SetCurrentPosition(kRingBytes - 8);
  buffer->Play(0, 0, DSBPLAY_LOOPING);
  const auto wrap = PullFrames(control, 4);
  EXPECT_EQ(wrap[4], 0);  // frame 2 is the ring's first frame again
  EXPECT_EQ(Cursor(), 8u);
  EXPECT_EQ(buffer->SetCurrentPosition(kRingBytes), E_INVALIDARG);
}

// The device pulls on its own thread; a stop followed by a rewind must leave
// the cursor at the rewind, whatever pull was under way.
TEST_F(BufferTest, RewindAfterStopHoldsWhileTheDevicePulls) {
  std::atomic<bool> done{false};
  std::thread device([&] {
    while (!done) PullFrames(control, 2048);
  });
  int moved = 0;
  for (int i = 0; i < 3000; ++i) {
    buffer->Play(0, 0, DSBPLAY_LOOPING);
    for (int spin = 0; spin < i % 50; ++spin) Cursor();
    buffer->Stop();
    buffer->SetCurrentPosition(0);
    std::this_thread::yield();
    if (Cursor() != 0) ++moved;
  }
  done = true;
  device.join();
  EXPECT_EQ(moved, 0);
}

TEST_F(BufferTest, LockHandsOutTheRingItself) {
  void* a = nullptr;
  void* b = nullptr;
  std::uint32_t na = 0, nb = 0;
  ASSERT_EQ(buffer->Lock(kRingBytes - 100, 300, &a, &na, &b, &nb, 0), S_OK);
  EXPECT_EQ(na, 100u);
  EXPECT_EQ(nb, 200u);
  EXPECT_EQ(buffer->Lock(5 * kBlockBytes, kBlockBytes, &a, &na, nullptr, nullptr, 0), S_OK);
  EXPECT_EQ(na, kBlockBytes);
  EXPECT_EQ(buffer->Lock(kRingBytes, 4, &a, &na, nullptr, nullptr, 0), E_INVALIDARG);
  Fill(8, 8, 1234);
  buffer->SetCurrentPosition(8);
  buffer->Play(0, 0, DSBPLAY_LOOPING);
  const auto heard = PullFrames(control, 3);
  EXPECT_EQ(heard, (std::vector<std::int16_t>{1234, 1234, 1234, 1234, 0, 0}));
}

// Notification positions without room to keep them are an error the
// streaming thread answers by polling, not an exception.
TEST_F(BufferTest, NoRoomForNotificationPositionsIsAnError) {
  NotifyEvent event;
  const DSBPOSITIONNOTIFY positions[] = {{0, &event}, {kRingBytes / 2, &event}};
  HRESULT set = S_OK;
  EXPECT_FALSE(ThrowsWithoutMemory(0, [&] { set = buffer->SetNotificationPositions(2, positions); }));
  EXPECT_EQ(set, E_OUTOFMEMORY);
  EXPECT_EQ(buffer->SetNotificationPositions(2, positions), S_OK);
  EXPECT_EQ(buffer->SetNotificationPositions(0, nullptr), S_OK);
}

TEST_F(BufferTest, VolumeUnityIsBitExactAndMinimumIsSilence) {
  FillRamp();
  buffer->Play(0, 0, DSBPLAY_LOOPING);
  const auto unity = PullFrames(control, 1000);
  for (std::uint32_t i = 0; i < unity.size(); ++i) ASSERT_EQ(unity[i], static_cast<std::int16_t>(i * 7));
  ASSERT_EQ(buffer->SetVolume(-10000), S_OK);
  PullFrames(control, 4000);  // the change glides in over a few milliseconds
  const auto silent = PullFrames(control, 100);
  for (std::int16_t v : silent) EXPECT_EQ(v, 0);
  EXPECT_EQ(buffer->SetVolume(1), E_INVALIDARG);
  EXPECT_EQ(buffer->SetVolume(-10001), E_INVALIDARG);
  buffer->SetVolume(0);
  PullFrames(control, 4000);
  buffer->SetCurrentPosition(0);
  const auto back = PullFrames(control, 100);
  for (std::uint32_t i = 0; i < back.size(); ++i) ASSERT_EQ(back[i], static_cast<std::int16_t>(i * 7));
}

// A volume set while the buffer is stopped (muted while paused, before a
// start) is the volume of the first frame played: the device pulls silence
// meanwhile, and a glide from the volume before would be heard, a blip at
// full volume where the user muted.
TEST_F(BufferTest, VolumeSetWhileStoppedIsHeardFromTheFirstFrame) {
  for (const std::int32_t volume : {-10000, -2000, 0}) {
    FillRamp();
    buffer->SetVolume(volume == 0 ? -10000 : 0);
    buffer->Play(0, 0, DSBPLAY_LOOPING);
    PullFrames(control, 4000);  // settled at the volume before
    buffer->Stop();
    ASSERT_EQ(buffer->SetVolume(volume), S_OK);
    PullFrames(control, 100);  // the device takes silence while stopped
    buffer->SetCurrentPosition(0);
    buffer->Play(0, 0, DSBPLAY_LOOPING);
    const auto heard = PullFrames(control, 200);
    const double gain = std::pow(10.0, volume / 2000.0) * (volume > -10000);
    for (std::uint32_t i = 0; i < heard.size(); ++i)
      ASSERT_EQ(heard[i], static_cast<std::int16_t>(std::nearbyint(static_cast<std::int16_t>(i * 7) * gain)))
          << volume << " at " << i;
    buffer->Stop();
  }
}

TEST_F(BufferTest, LostDeviceIsRestoredAndPlaysOn) {
  FillRamp();
  buffer->Play(0, 0, DSBPLAY_LOOPING);
  PullFrames(control, 100);
  control.lost = true;
  EXPECT_EQ(Status(), DSBSTATUS_BUFFERLOST);
  EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST);
  void* region = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(buffer->Lock(0, 4, &region, &length, nullptr, nullptr, 0), DSERR_BUFFERLOST);
  EXPECT_EQ(buffer->Restore(), S_OK);
  EXPECT_EQ(control.opens.load(), 2);
  EXPECT_EQ(buffer->Play(0, 0, DSBPLAY_LOOPING), S_OK);
  const auto after = PullFrames(control, 1);
  EXPECT_EQ(after[0], static_cast<std::int16_t>(200 * 7));  // from where it was
}

TEST_F(BufferTest, RestoreFailsWhileNoDeviceCanBeOpened) {
  control.lost = true;
  control.refuseOpen = true;
  EXPECT_LT(buffer->Restore(), 0);
  control.refuseOpen = false;
  EXPECT_EQ(buffer->Restore(), S_OK);
}

TEST_F(BufferTest, EffectsInstallAndRefuse) {
  DSEFFECTDESC eq{32, 0, GUID_DSFX_STANDARD_PARAMEQ, 0, 0};
  DSEFFECTDESC gargle{32, 0, GUID_DSFX_STANDARD_GARGLE, 0, 0};
  DSEFFECTDESC unknown{32, 0, IID_IDirectSoundFXGargle, 0, 0};
  std::uint32_t result = 0;
  buffer->Play(0, 0, DSBPLAY_LOOPING);  // effects may be chosen while playing
  EXPECT_LT(buffer->SetFX(1, &unknown, &result), 0);
  ASSERT_EQ(buffer->SetFX(1, &eq, &result), S_OK);
  void* object = nullptr;
  EXPECT_LT(buffer->GetObjectInPath(GUID_DSFX_STANDARD_PARAMEQ, 0, IID_IDirectSoundFXGargle, &object), 0);
  EXPECT_LT(buffer->GetObjectInPath(GUID_DSFX_STANDARD_GARGLE, 0, IID_IDirectSoundFXGargle, &object), 0);
  ASSERT_EQ(buffer->GetObjectInPath(GUID_DSFX_STANDARD_PARAMEQ, 0, IID_IDirectSoundFXParamEq, &object), S_OK);
  auto* params = static_cast<IDirectSoundFXParamEq*>(object);
  const struct {
    DSFXParamEq p;
    bool ok;
  } cases[] = {{{80, 12, -15}, true},  {{80, 12, 15}, true},     {{16000, 36, 0}, true}, {{79, 12, 0}, false},
               {{80, 0.5f, 0}, false}, {{80, 12, 15.5f}, false}, {{80, 37, 0}, false}};
  for (const auto& c : cases) EXPECT_EQ(params->SetAllParameters(&c.p) >= 0, c.ok) << c.p.fCenter;
  DSFXParamEq got{};
  params->GetAllParameters(&got);
  EXPECT_EQ(got.fCenter, 16000.0f);
  ASSERT_EQ(buffer->SetFX(1, &gargle, &result), S_OK);
  ASSERT_EQ(buffer->GetObjectInPath(GUID_DSFX_STANDARD_GARGLE, 0, IID_IDirectSoundFXGargle, &object), S_OK);
  auto* g = static_cast<IDirectSoundFXGargle*>(object);
  DSFXGargle rate{1000, 0};
  EXPECT_EQ(g->SetAllParameters(&rate), S_OK);
  rate = {0, 0};
  EXPECT_LT(g->SetAllParameters(&rate), 0);
  rate = {20, 2};
  EXPECT_LT(g->SetAllParameters(&rate), 0);
  EXPECT_EQ(buffer->SetFX(0, nullptr, nullptr), S_OK);
  EXPECT_LT(buffer->GetObjectInPath(GUID_DSFX_STANDARD_GARGLE, 0, IID_IDirectSoundFXGargle, &object), 0);
}

TEST_F(BufferTest, BufferWithoutEffectsCapabilityRefusesThem) {
  Make(false);
  DSEFFECTDESC eq{32, 0, GUID_DSFX_STANDARD_PARAMEQ, 0, 0};
  EXPECT_LT(buffer->SetFX(1, &eq, nullptr), 0);
}

// The frame position counts every frame the device takes while playing,
// however many times the ring wraps before anyone looks, in pulls of any
// size; the byte cursor stays its remainder.
TEST_F(BufferTest, FramePositionCountsEveryFrameTakenWhilePlaying) {
  constexpr std::uint32_t kRingFrames = kRingBytes / kBytesPerFrame;
  const struct {
    std::uint32_t start;  // byte offset given to SetCurrentPosition
    std::uint32_t pull;   // frames a pull
    std::uint32_t pulls;
  } cases[] = {{0, 4096, 32},
               {12 * 4, 1, 1000},
               {5 * kBlockBytes + 3 * 4, 884, 301},
               {kRingBytes - 4, kRingFrames, 3},
               {7 * 4, kRingFrames + 17, 2}};
  for (const auto& c : cases) {
    buffer->Stop();
    ASSERT_EQ(buffer->SetCurrentPosition(c.start), S_OK);
    EXPECT_EQ(buffer->FramePosition(), c.start / 4);
    PullFrames(control, 500);  // stopped: nothing taken
    EXPECT_EQ(buffer->FramePosition(), c.start / 4);
    buffer->Play(0, 0, DSBPLAY_LOOPING);
    for (std::uint32_t i = 0; i < c.pulls; ++i) PullFrames(control, c.pull);
    const std::uint64_t want = c.start / 4 + std::uint64_t{c.pull} * c.pulls;
    EXPECT_EQ(buffer->FramePosition(), want) << c.start << " " << c.pull;
    EXPECT_EQ(Cursor(), want * 4 % kRingBytes) << c.start << " " << c.pull;
    buffer->Stop();
    PullFrames(control, 4096);
    EXPECT_EQ(buffer->FramePosition(), want);
  }
}

// A reader that looks only now and then (a stalled main loop) still reads
// the exact count while the device pulls on its own thread.
TEST_F(BufferTest, FramePositionIsExactForAReaderThatStalls) {
  buffer->Play(0, 0, DSBPLAY_LOOPING);
  std::atomic<std::uint64_t> pulled{0};
  std::atomic<bool> done{false};
  std::thread device([&] {
    while (!done) {
      PullFrames(control, 4096);
      pulled += 4096;
    }
  });
  while (pulled < 3 * kRingBytes / kBytesPerFrame) std::this_thread::yield();
  done = true;
  device.join();
  EXPECT_EQ(buffer->FramePosition(), pulled.load());
}

// A device that stops taking frames while the buffer plays, without
// saying so, counts as lost once it has been silent for 2 s and a second
// look 250 ms later finds it still silent; a pull in between, a stopped
// buffer or a fresh Play start the count again.
TEST(SilentDeviceTest, CountsAsLostAfterTwoSecondsAndASecondLook) {
  using namespace std::chrono_literals;
  enum Step { kWait, kPull, kPlay, kStop, kRestore };
  const struct {
    const char* name;
    std::vector<std::pair<Step, std::chrono::milliseconds>> steps;  // each followed by a look at the status
    std::vector<std::uint32_t> statuses;
  } cases[] = {
      {"silent while playing",
       {{kPlay, 0ms}, {kWait, 1999ms}, {kWait, 1ms}, {kWait, 249ms}, {kWait, 1ms}, {kWait, 1000ms}},
       {1, 1, 1, 1, DSBSTATUS_BUFFERLOST, DSBSTATUS_BUFFERLOST}},
      {"pulls keep it alive",
       {{kPlay, 0ms}, {kWait, 1900ms}, {kPull, 0ms}, {kWait, 1900ms}, {kPull, 0ms}, {kWait, 1900ms}},
       {1, 1, 1, 1, 1, 1}},
      // Stopped and continued: the first look after 5 s finds the silence,
      // the device pulls before the second.
      {"a stopped process",
       {{kPlay, 0ms}, {kWait, 5000ms}, {kPull, 0ms}, {kWait, 300ms}, {kWait, 1000ms}},
       {1, 1, 1, 1, 1}},
      {"silence that comes back after a pull",
       {{kPlay, 0ms}, {kWait, 2500ms}, {kPull, 0ms}, {kWait, 2000ms}, {kWait, 250ms}},
       {1, 1, 1, 1, DSBSTATUS_BUFFERLOST}},
      {"paused: no pulls needed",
       {{kStop, 0ms}, {kWait, 10000ms}, {kWait, 1000ms}, {kPlay, 0ms}, {kWait, 1999ms}},
       {0, 0, 0, 1, 1}},
      {"restored",
       {{kPlay, 0ms}, {kWait, 3000ms}, {kWait, 300ms}, {kRestore, 0ms}, {kPlay, 0ms}, {kWait, 1999ms}},
       {1, 1, DSBSTATUS_BUFFERLOST, 0, 1, 1}},
  };
  for (const auto& c : cases) {
    FakeAudioDevice::Control control;
    std::chrono::steady_clock::time_point now{std::chrono::hours(1)};
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true, [&] { return now; });
    ASSERT_TRUE(buffer.Start());
    std::vector<std::uint32_t> seen;
    for (const auto& [step, time] : c.steps) {
      if (step == kWait) now += time;
      if (step == kPull) PullFrames(control, 16);
      if (step == kPlay) buffer.Play(0, 0, DSBPLAY_LOOPING);
      if (step == kStop) buffer.Stop();
      if (step == kRestore) {
        EXPECT_EQ(buffer.Restore(), S_OK) << c.name;
      }
      std::uint32_t status = 0;
      buffer.GetStatus(&status);
      seen.push_back(status == (DSBSTATUS_PLAYING | DSBSTATUS_LOOPING) ? 1 : status);
    }
    EXPECT_EQ(seen, c.statuses) << c.name;
  }
}

TEST(SilentDeviceTest, ALostSilentDeviceIsReopenedByRestoreOrStaysLost) {
  FakeAudioDevice::Control control;
  std::chrono::steady_clock::time_point now{};
  LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true, [&] { return now; });
  ASSERT_TRUE(buffer.Start());
  buffer.Play(0, 0, DSBPLAY_LOOPING);
  std::uint32_t status = 0;
  for (int look = 0; look < 2; ++look) {
    now += std::chrono::milliseconds(2500);
    buffer.GetStatus(&status);
  }
  EXPECT_EQ(status, DSBSTATUS_BUFFERLOST);
  EXPECT_EQ(buffer.Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST);
  control.refuseOpen = true;  // no sound server
  EXPECT_EQ(buffer.Restore(), DSERR_BUFFERLOST);
  buffer.GetStatus(&status);
  EXPECT_EQ(status, DSBSTATUS_BUFFERLOST);
  control.refuseOpen = false;  // the server is back
  EXPECT_EQ(buffer.Restore(), S_OK);
  EXPECT_EQ(control.opens.load(), 2);
  EXPECT_EQ(buffer.Play(0, 0, DSBPLAY_LOOPING), S_OK);
  buffer.GetStatus(&status);
  EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
}

// SDL's device says it is lost only while it is open: once a restore has
// closed it and could not open another, it says nothing. The buffer stays
// lost then, whether or not anyone looked at its status first, and nothing
// may be played or written until a restore opens a device again.
class ClosingAudioDevice : public AudioDevice {
 public:
  explicit ClosingAudioDevice(FakeAudioDevice::Control& control) : control_(control) {}
  bool Open(Pull pull) override {
    if (control_.refuseOpen) return false;
    control_.opens++;
    control_.lost = false;
    control_.pull = std::move(pull);
    open_ = true;
    return true;
  }
  void Close() override { open_ = false; }
  bool Lost() override { return open_ && control_.lost; }

 private:
  FakeAudioDevice::Control& control_;
  bool open_ = false;
};

TEST(RestoreTest, AFailedRestoreLeavesTheBufferLost) {
  for (const bool statusFirst : {false, true}) {
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<ClosingAudioDevice>(control), true);
    ASSERT_TRUE(buffer.Start());
    ASSERT_EQ(buffer.Play(0, 0, DSBPLAY_LOOPING), S_OK);
    control.lost = true;
    control.refuseOpen = true;
    std::uint32_t status = 0;
    if (statusFirst) buffer.GetStatus(&status);
    EXPECT_EQ(buffer.Restore(), DSERR_BUFFERLOST) << statusFirst;
    buffer.GetStatus(&status);
    EXPECT_EQ(status, DSBSTATUS_BUFFERLOST) << statusFirst;
    EXPECT_EQ(buffer.Play(0, 0, DSBPLAY_LOOPING), DSERR_BUFFERLOST) << statusFirst;
    void* region = nullptr;
    std::uint32_t bytes = 0;
    EXPECT_EQ(buffer.Lock(0, kBlockBytes, &region, &bytes, nullptr, nullptr, 0), DSERR_BUFFERLOST) << statusFirst;
    control.refuseOpen = false;
    EXPECT_EQ(buffer.Restore(), S_OK) << statusFirst;
    EXPECT_EQ(buffer.Play(0, 0, DSBPLAY_LOOPING), S_OK) << statusFirst;
    buffer.GetStatus(&status);
    EXPECT_EQ(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING) << statusFirst;
  }
}

TEST(AudioSetupTest, FailsWhenTheDeviceCannotBeOpened) {
  FakeAudioDevice::Control control;
  control.refuseOpen = true;
  AudioService service;
  AudioSetupOptions options;
  options.makeDevice = [&] { return std::make_unique<FakeAudioDevice>(control); };
  EXPECT_EQ(SetUpAudio(options, service), -1);
  control.refuseOpen = false;
  options.legacy = true;
  EXPECT_EQ(SetUpAudio(options, service), 0);
  EXPECT_TRUE(service.legacy);
  DSEFFECTDESC eq{32, 0, GUID_DSFX_STANDARD_PARAMEQ, 0, 0};
  EXPECT_LT(service.buffer->SetFX(1, &eq, nullptr), 0);
}

// The memory buffer's failing locks, asked for while the streaming thread
// locks: each fails with the result asked for along with it (the count used
// to be published before the result, so a lock could fail with the one
// asked for before).
TEST(MemoryBufferTest, FailedLocksGiveTheResultAskedForWhileAnotherThreadLocks) {
  MemorySoundBuffer buffer;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0}, wrong{0};
  std::atomic<HRESULT> asked{S_OK};
  std::thread locker([&] {
    while (!done) {
      void* region = nullptr;
      std::uint32_t bytes = 0;
      const HRESULT result = buffer.Lock(0, kBlockBytes, &region, &bytes, nullptr, nullptr, 0);
      if (result >= 0) continue;
      if (result != asked.load()) ++wrong;
      ++failures;
    }
  });
  const HRESULT results[] = {E_FAIL, DSERR_BUFFERLOST, E_OUTOFMEMORY};
  constexpr int kRounds = 3000;
  for (int round = 0; round < kRounds; ++round) {
    asked = results[round % 3];
    buffer.FailLocks(1, results[round % 3]);
    while (failures.load() == round) std::this_thread::yield();
  }
  done = true;
  locker.join();
  EXPECT_EQ(failures.load(), kRounds);
  EXPECT_EQ(wrong.load(), 0);
}

// --- The effects measured on test signals.

std::vector<float> Sine(double hz, std::uint32_t frames, double amplitude = 8000.0) {
  std::vector<float> out(2 * frames);
  for (std::uint32_t f = 0; f < frames; ++f)
    out[2 * f] = out[2 * f + 1] = static_cast<float>(amplitude * std::sin(2 * M_PI * hz * f / 44100.0));
  return out;
}

double RmsDb(const std::vector<float>& x, std::uint32_t from) {
  double sum = 0;
  std::uint32_t n = 0;
  for (std::uint32_t i = 2 * from; i < x.size(); i += 2, ++n) sum += double{x[i]} * x[i];
  return 10 * std::log10(sum / n);
}

double EqGainDb(double hz, float gainDb) {
  std::mutex guard;
  ParamEqEffect eq(guard);
  DSFXParamEq p{80.0f, 12.0f, gainDb};
  eq.SetAllParameters(&p);
  std::vector<float> in = Sine(hz, 44100);
  std::vector<float> out = in;
  eq.Process(out.data(), 44100);
  return RmsDb(out, 22050) - RmsDb(in, 22050);
}

TEST(EffectDspTest, EqualizerAt80Hz) {
  EXPECT_NEAR(EqGainDb(80, 15.0f), 15.0, 0.5);
  EXPECT_NEAR(EqGainDb(80, -15.0f), -15.0, 0.5);
  EXPECT_NEAR(EqGainDb(5000, 15.0f), 0.0, 0.5);
  EXPECT_NEAR(EqGainDb(5000, -15.0f), 0.0, 0.5);
  EXPECT_NEAR(EqGainDb(80, 0.0f), 0.0, 0.05);
}

TEST(EffectDspTest, GargleEnvelopeHasTheRatesPeriod) {
  std::mutex guard;
  GargleEffect gargle(guard);
  DSFXGargle p{20, 0};
  gargle.SetAllParameters(&p);
  std::vector<float> x(2 * 44100, 10000.0f);  // a constant shows the envelope itself
  gargle.Process(x.data(), 44100);
  std::vector<std::uint32_t> minima;
  for (std::uint32_t f = 1; f + 1 < 44100; ++f)
    if (x[2 * f] < x[2 * f - 2] && x[2 * f] <= x[2 * f + 2] && x[2 * f] < 100.0f) minima.push_back(f);
  ASSERT_GE(minima.size(), 10u);
  for (std::size_t i = 1; i < minima.size(); ++i) EXPECT_NEAR(minima[i] - minima[i - 1], 2205.0, 2.0);  // 50 ms
}

TEST(EffectDspTest, ParameterChangesDoNotClick) {
  std::mutex guard;
  ParamEqEffect eq(guard);
  std::vector<float> x = Sine(80, 44100, 6000);
  const float before = 2.0f * 6000.0f * static_cast<float>(std::sin(M_PI * 80 / 44100.0)) * 1.05f;
  DSFXParamEq p{80.0f, 12.0f, -15.0f};
  eq.SetAllParameters(&p);
  eq.Process(x.data(), 22050);
  p.fGain = 15.0f;
  eq.SetAllParameters(&p);
  eq.Process(x.data() + 2 * 22050, 22050);
  // The largest step between frames stays that of a smooth 80 Hz sine at the
  // loudest gain (+15 dB), with no jump at the change.
  float largest = 0;
  for (std::uint32_t f = 1; f < 44100; ++f) largest = std::max(largest, std::fabs(x[2 * f] - x[2 * f - 2]));
  EXPECT_LT(largest, before * 5.7f);
}

// The device decides how many frames each pull takes; the band's glides
// (in at the start, and to a gain set half-way) must sound the same in
// pulls of any size. They used to step once per 32 frames of each call,
// so pulls of a frame glided 32 times as fast: a click where 20 ms were due.
TEST(EffectDspTest, EqualizerSoundsTheSameInPullsOfAnySize) {
  static constexpr std::uint32_t kFrames = 44100, kChange = 22050;
  auto through = [](std::uint32_t pull) {
    std::mutex guard;
    ParamEqEffect eq(guard);
    DSFXParamEq p{80.0f, 12.0f, 15.0f};
    eq.SetAllParameters(&p);
    std::vector<float> x = Sine(80, kFrames, 10000);
    for (std::uint32_t at = 0; at < kFrames;) {
      if (at == kChange) {
        p = {300.0f, 24.0f, -15.0f};
        eq.SetAllParameters(&p);
      }
      std::uint32_t next = std::min(at + pull, kFrames);
      if (at < kChange && next > kChange) next = kChange;  // a pull ends where the change is made
      eq.Process(x.data() + 2 * at, next - at);
      at = next;
    }
    return x;
  };
  const std::vector<float> want = through(4096);
  for (const std::uint32_t pull : {1u, 7u, 100u, 1000u}) EXPECT_EQ(through(pull), want) << pull << " frames a pull";
}

// A band set on a fresh equalizer (zevora-cli play --eq, the window's
// remembered gain) is heard at 80 Hz from the first frame: the gain glides
// in there, and tones away from 80 Hz are never boosted or cut beyond what
// the settled band does to them (the centre used to sweep down from 8 kHz,
// boosting a 300 Hz tone by 11 dB in the first 100 ms).
TEST(EffectDspTest, AFreshBandGlidesInAtItsCentre) {
  for (const float gainDb : {15.0f, -15.0f}) {
    for (const double hz : {300.0, 1000.0, 3000.0}) {
      std::mutex guard;
      ParamEqEffect eq(guard);
      const DSFXParamEq p{80.0f, 12.0f, gainDb};
      eq.SetAllParameters(&p);
      std::vector<float> x = Sine(hz, 44100, 10000);
      for (std::uint32_t at = 0; at < 44100; at += 4096) eq.Process(x.data() + 2 * at, std::min(4096u, 44100 - at));
      float early = 0, settled = 0;
      for (std::uint32_t f = 0; f < 4410; ++f) early = std::max(early, std::fabs(x[2 * f]));
      for (std::uint32_t f = 22050; f < 44100; ++f) settled = std::max(settled, std::fabs(x[2 * f]));
      // Between the tone as it is and the tone through the settled band.
      const double earlyDb = 20 * std::log10(early / 10000.0), settledDb = 20 * std::log10(settled / 10000.0);
      EXPECT_LE(earlyDb, std::max(0.0, settledDb) + 0.1) << gainDb << " dB, " << hz << " Hz";
      EXPECT_GE(earlyDb, std::min(0.0, settledDb) - 0.1) << gainDb << " dB, " << hz << " Hz";
    }
  }
}

// A gargle switched on while a sound plays starts where its wave leaves the
// sound as it is: no step between two frames at the start is larger than
// the wave's own steps later (it used to drop a quarter of the level at the
// first frame and all of it within 16 frames: a click).
TEST(EffectDspTest, GargleSwitchedOnDoesNotClick) {
  for (const std::uint32_t shape : {0u, 1u}) {
    for (const std::uint32_t rate : {1u, 20u, 1000u}) {
      std::mutex guard;
      GargleEffect gargle(guard);
      const DSFXGargle p{rate, shape};
      gargle.SetAllParameters(&p);
      std::vector<float> x(2 * 44100, 10000.0f);  // a constant shows the envelope itself
      gargle.Process(x.data(), 44100);
      float start = 10000.0f - x[0], later = 0;
      for (std::uint32_t f = 1; f < 44100; ++f) {
        const float step = std::fabs(x[2 * f] - x[2 * f - 2]);
        float& largest = f < 8 ? start : later;
        largest = std::max(largest, step);
      }
      EXPECT_LE(start, later + 1.0f) << "shape " << shape << ", " << rate << " Hz";
      EXPECT_EQ(x[0], 10000.0f) << "shape " << shape << ", " << rate << " Hz";
    }
  }
}

// Paused (the device takes silence meanwhile) and resumed, and round the
// ring's end, an effect goes on from the state it was in: what is heard is,
// frame by frame, the ring's frames one after the other through the effect
// alone at the volume set.
TEST_F(BufferTest, EffectHeardAcrossPausesIsTheRingThroughTheEffectAlone) {
  for (const bool gargle : {false, true}) {
    Make(true);
    const GUID cls = gargle ? GUID_DSFX_STANDARD_GARGLE : GUID_DSFX_STANDARD_PARAMEQ;
    const DSEFFECTDESC desc{32, 0, cls, 0, 0};
    ASSERT_EQ(buffer->SetFX(1, &desc, nullptr), S_OK);
    void* object = nullptr;
    ASSERT_EQ(buffer->GetObjectInPath(cls, 0, gargle ? IID_IDirectSoundFXGargle : IID_IDirectSoundFXParamEq, &object),
              S_OK);
    std::mutex guard;
    ParamEqEffect aloneEq(guard);
    GargleEffect aloneGargle(guard);
    const DSFXParamEq eqParams{80.0f, 12.0f, 9.0f};
    const DSFXGargle gargleParams{37, 0};
    if (gargle) {
      static_cast<IDirectSoundFXGargle*>(object)->SetAllParameters(&gargleParams);
      aloneGargle.SetAllParameters(&gargleParams);
    } else {
      static_cast<IDirectSoundFXParamEq*>(object)->SetAllParameters(&eqParams);
      aloneEq.SetAllParameters(&eqParams);
    }
    StereoEffect& alone = gargle ? static_cast<StereoEffect&>(aloneGargle) : aloneEq;
    FillRamp();
    buffer->SetVolume(-600);
    buffer->Play(0, 0, DSBPLAY_LOOPING);

    // Pulls of 4,096 frames, with a pause before every fifth; the ring
    // wraps three times.
    constexpr std::uint32_t kPull = 4096, kTotal = 3 * kRingBytes / kBytesPerFrame + 1234;
    std::vector<std::int16_t> heard;
    for (std::uint32_t taken = 0, k = 0; taken < kTotal; taken += kPull, ++k) {
      if (k % 5 == 2) {
        buffer->Stop();
        PullFrames(control, kPull);
        buffer->Play(0, 0, DSBPLAY_LOOPING);
      }
      const std::vector<std::int16_t> pulled = PullFrames(control, std::min(kPull, kTotal - taken));
      heard.insert(heard.end(), pulled.begin(), pulled.end());
    }
    std::vector<float> input(2 * kTotal);
    for (std::uint32_t i = 0; i < 2 * kTotal; ++i) input[i] = static_cast<std::int16_t>(i % (kRingBytes / 2) * 7);
    for (std::uint32_t at = 0; at < kTotal; at += kPull)
      alone.Process(input.data() + 2 * at, std::min(kPull, kTotal - at));
    const double gain = std::pow(10.0, -600 / 2000.0);
    std::vector<std::int16_t> want(input.size());
    for (std::size_t i = 0; i < input.size(); ++i)
      want[i] = static_cast<std::int16_t>(std::clamp(std::nearbyint(input[i] * gain), -32768.0, 32767.0));
    EXPECT_EQ(heard, want) << (gargle ? "gargle" : "equalizer");
  }
}

// In 20 s of silence after a loud 80 Hz tone, the equalizer's state comes
// to exact zero (it used to stay denormal for good, at several times the
// cost a frame), and what comes out is to the frame what the effect gives
// on its own, with the device thread's floating-point setting left as it was.
TEST(EqualizerInSilenceTest, StateSettlesToZeroAndTheSoundIsUnchanged) {
  for (const float gainDb : {15.0f, -15.0f, 6.0f}) {
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
    ASSERT_TRUE(buffer.Start());
    DSEFFECTDESC desc{32, 0, GUID_DSFX_STANDARD_PARAMEQ, 0, 0};
    ASSERT_EQ(buffer.SetFX(1, &desc, nullptr), S_OK);
    void* object = nullptr;
    ASSERT_EQ(buffer.GetObjectInPath(GUID_DSFX_STANDARD_PARAMEQ, 0, IID_IDirectSoundFXParamEq, &object), S_OK);
    const DSFXParamEq params{80.0f, 12.0f, gainDb};
    static_cast<IDirectSoundFXParamEq*>(object)->SetAllParameters(&params);
    auto* eq = dynamic_cast<ParamEqEffect*>(static_cast<IDirectSoundFXParamEq*>(object));
    ASSERT_NE(eq, nullptr);

    // One second of the tone, then the ring silent.
    constexpr std::uint32_t kToneFrames = 44100, kPull = 4096, kPulls = 226;  // 21 s
    const std::vector<float> tone = Sine(80, kToneFrames, 20000);
    void* region = nullptr;
    std::uint32_t bytes = 0;
    ASSERT_EQ(buffer.Lock(0, kRingBytes, &region, &bytes, nullptr, nullptr, 0), S_OK);
    auto* ring = static_cast<std::int16_t*>(region);
    for (std::uint32_t i = 0; i < 2 * kToneFrames; ++i) ring[i] = static_cast<std::int16_t>(tone[i]);
    buffer.Unlock(region, bytes, nullptr, 0);
    std::vector<float> input(2 * kPull * kPulls, 0.0f);
    for (std::uint32_t i = 0; i < 2 * kToneFrames; ++i) input[i] = static_cast<std::int16_t>(tone[i]);

    buffer.Play(0, 0, DSBPLAY_LOOPING);
    std::vector<std::int16_t> heard;
#if defined(__SSE__) || defined(__x86_64__)
    const unsigned before = _mm_getcsr() & ~0x3Fu;  // the control bits, not the exception flags
#endif
    for (std::uint32_t p = 0; p < kPulls; ++p) {
      if (p * kPull >= kToneFrames && p * kPull < kToneFrames + kPull) {
        ASSERT_EQ(buffer.Lock(0, kRingBytes, &region, &bytes, nullptr, nullptr, 0), S_OK);
        std::memset(region, 0, bytes);
        buffer.Unlock(region, bytes, nullptr, 0);
      }
      const std::vector<std::int16_t> pulled = PullFrames(control, kPull);
      heard.insert(heard.end(), pulled.begin(), pulled.end());
    }
#if defined(__SSE__) || defined(__x86_64__)
    EXPECT_EQ(_mm_getcsr() & ~0x3Fu, before);
#endif
    EXPECT_EQ(eq->StateMagnitude(), 0.0) << gainDb;

    // The same input through an equalizer of its own, at the default
    // floating-point setting.
    std::mutex guard;
    ParamEqEffect alone(guard);
    alone.SetAllParameters(&params);
    for (std::uint32_t p = 0; p < kPulls; ++p) alone.Process(input.data() + 2 * p * kPull, kPull);
    std::vector<std::int16_t> want(input.size());
    for (std::size_t i = 0; i < input.size(); ++i)
      want[i] = static_cast<std::int16_t>(std::clamp(std::nearbyint(double{input[i]}), -32768.0, 32767.0));
    EXPECT_EQ(heard, want) << gainDb;
    EXPECT_GT(alone.StateMagnitude(), 0.0) << gainDb;  // left alone, it stays denormal
  }
}

}  // namespace
