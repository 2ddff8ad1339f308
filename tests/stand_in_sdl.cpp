// A stand-in for SDL2's audio subsystem, loaded by the programs in place of
// the real library (ZEVORA_SDL_LIBRARY) to test what they do when the
// sound device goes away. It pulls audio at the real pace on a thread of
// its own. Two ways to go away, set in the environment:
// - STAND_IN_SDL_LOSE_AFTER_MS: that long after the first device opened,
//   the device stops, reports itself stopped, and no device opens again.
// - STAND_IN_SDL_STALL_AFTER_MS: that long after the first device opened,
//   the sound server dies as some of SDL's drivers see it: the device stops
//   pulling but goes on reporting that it plays, and no device opens until
//   STAND_IN_SDL_BACK_AFTER_MS later (the server is back; unset: never).
//   Devices opened once it is back pull as usual.
#include <SDL.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> gone{false};
Clock::time_point loseAt = Clock::time_point::max();
Clock::time_point stallAt = Clock::time_point::max();
Clock::time_point backAt = Clock::time_point::max();
bool timesSet = false;
const char* error = "";
std::thread puller;
std::atomic<bool> running{false};

Clock::time_point After(const char* variable) {
  const char* ms = std::getenv(variable);
  return ms == nullptr ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(std::atoll(ms));
}

void Pull(SDL_AudioSpec spec, Clock::time_point opened) {
  std::vector<Uint8> buffer(static_cast<std::size_t>(spec.samples) * 4);
  const auto period = std::chrono::microseconds(1000000LL * spec.samples / 44100);
  auto next = Clock::now();
  while (running) {
    if (Clock::now() >= loseAt) gone = true;
    if (gone) break;
    if (opened < backAt && Clock::now() >= stallAt) {
      // Stalled for good, and still "playing"; only a close ends it.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    spec.callback(spec.userdata, buffer.data(), static_cast<int>(buffer.size()));
    next += period;
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

extern "C" {

SDL_bool SDL_SetHint(const char*, const char*) { return SDL_TRUE; }
Uint32 SDL_WasInit(Uint32) { return 0; }
int SDL_InitSubSystem(Uint32) { return 0; }
const char* SDL_GetError(void) { return error; }

SDL_AudioDeviceID SDL_OpenAudioDevice(const char*, int, const SDL_AudioSpec* want, SDL_AudioSpec* have, int) {
  if (!timesSet) {
    timesSet = true;
    loseAt = After("STAND_IN_SDL_LOSE_AFTER_MS");
    stallAt = After("STAND_IN_SDL_STALL_AFTER_MS");
    if (stallAt != Clock::time_point::max() && std::getenv("STAND_IN_SDL_BACK_AFTER_MS") != nullptr)
      backAt = stallAt + std::chrono::milliseconds(std::atoll(std::getenv("STAND_IN_SDL_BACK_AFTER_MS")));
  }
  const auto now = Clock::now();
  if (gone) {
    error = "stand-in: the device is gone";
    return 0;
  }
  if (now >= stallAt && now < backAt) {
    error = "stand-in: no sound server";
    return 0;
  }
  if (have != nullptr) *have = *want;
  // 0 ms: the device is lost between its opening and the start of play.
  if (now >= loseAt) gone = true;
  running = true;
  puller = std::thread(Pull, *want, now);
  return 1;
}

void SDL_PauseAudioDevice(SDL_AudioDeviceID, int) {}

void SDL_CloseAudioDevice(SDL_AudioDeviceID) {
  running = false;
  if (puller.joinable()) puller.join();
}

SDL_AudioStatus SDL_GetAudioDeviceStatus(SDL_AudioDeviceID) { return gone ? SDL_AUDIO_STOPPED : SDL_AUDIO_PLAYING; }

}  // extern "C"
