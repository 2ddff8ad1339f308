// zevora-cli play: the whole real path (file source, streaming thread,
// looping buffer, sound device), with the play time once a second.
#include <signal.h>

#include <chrono>
#include <cstdio>

#include "audio_setup.h"
#include "effects.h"
#include "loader.h"
#include "player.h"
#include "resources.h"

int LoadFailureMessage(const char* file);

namespace {

// The play time as the window shows it: the first second reads 00:00:01.
void PrintTime(std::uint32_t ms) {
  const std::uint32_t s = ms / 1000 + 1;
  std::printf("%02u:%02u:%02u\n", (s / 3600) % 24, (s / 60) % 60, s % 60);
  std::fflush(stdout);
}

template <typename Params, typename Interface>
bool InstallEffect(SoundBuffer& buffer, const GUID& cls, const GUID& iid, const Params& params) {
  DSEFFECTDESC desc{32, 0, cls, 0, 0};
  std::uint32_t result = 0;
  if (buffer.SetFX(1, &desc, &result) < 0) return false;
  void* object = nullptr;
  if (buffer.GetObjectInPath(cls, 0, iid, &object) < 0 || object == nullptr) return false;
  return static_cast<Interface*>(object)->SetAllParameters(&params) >= 0;
}

}  // namespace

int PlayCommand(const char* file, double seconds, double volumeDb, const double* eqGain, const double* gargleRate) {
  // Ctrl-C and SIGTERM are taken by the waiting loop below; they are blocked
  // before any thread starts, so that every thread inherits the block and
  // none of them is ended by the signal.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  AudioService audio;
  if (SetUpAudio({}, audio) != 0) {
    std::fprintf(stderr, "DirectSound error\n");
    return 1;
  }
  SoundBuffer& buffer = *audio.buffer;
  double hundredths = volumeDb * 100.0;
  if (hundredths < -10000) hundredths = -10000;
  if (hundredths > 0) hundredths = 0;
  buffer.SetVolume(static_cast<std::int32_t>(hundredths));
  if (eqGain != nullptr &&
      !InstallEffect<DSFXParamEq, IDirectSoundFXParamEq>(buffer, GUID_DSFX_STANDARD_PARAMEQ, IID_IDirectSoundFXParamEq,
                                                         DSFXParamEq{80.0f, 12.0f, static_cast<float>(*eqGain)})) {
    std::fprintf(stderr, "zevora-cli: the equalizer takes a gain from -15 to 15 dB\n");
    return 1;
  }
  if (gargleRate != nullptr &&
      !InstallEffect<DSFXGargle, IDirectSoundFXGargle>(buffer, GUID_DSFX_STANDARD_GARGLE, IID_IDirectSoundFXGargle,
                                                       DSFXGargle{static_cast<std::uint32_t>(*gargleRate), 0})) {
    std::fprintf(stderr, "zevora-cli: the gargle takes a rate from 1 to 1000 Hz\n");
    return 1;
  }

  const HRESULT played =
      file ? PlayerPlay(file, 0, kSourceFile, &buffer) : PlayerPlay(kDemoModuleName, 0, kSourceResource, &buffer);
  if (played < 0) {
    if (file) return LoadFailureMessage(file);
    std::fprintf(stderr, "zevora-cli: built-in demo: %s\n", LoadErrorText(LastLoadError()));
    return 1;
  }

  // The loop wakes only to print the time, once a second, or to stop.
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto end = seconds >= 0 ? start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds < 1e9 ? seconds : 1e9))
                                : Clock::time_point::max();
  auto nextPrint = start + std::chrono::seconds(1);
  for (;;) {
    auto now = Clock::now();
    if (now >= end) break;
    if (now >= nextPrint) {
      std::uint32_t status = 0;
      if (buffer.GetStatus(&status) >= 0 && (status & DSBSTATUS_BUFFERLOST) && buffer.Restore() >= 0)
        buffer.Play(0, 0, DSBPLAY_LOOPING);
      PrintTime(PlayerGetTime());
      nextPrint += std::chrono::seconds(1);
      continue;
    }
    const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>((end < nextPrint ? end : nextPrint) - now);
    timespec timeout{static_cast<time_t>(wait.count() / 1000000000), static_cast<long>(wait.count() % 1000000000)};
    const int signal = sigtimedwait(&stopSignals, nullptr, &timeout);
    if (signal == SIGINT || signal == SIGTERM) break;
  }
  PlayerPlay(nullptr, 0, 0, nullptr);
  return 0;
}
