// A stand-in for SDL2's audio subsystem, loaded by the programs in place of
// the real library (ZEVORA_SDL_LIBRARY) to test what they do when the
// sound device goes away. It pulls audio at the real pace on a thread of
// its own, and after STAND_IN_SDL_LOSE_AFTER_MS milliseconds (if set) the
// device stops, reports itself stopped, and no device opens again.
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
std::thread puller;
std::atomic<bool> running{false};

void Pull(SDL_AudioSpec spec) {
  std::vector<Uint8> buffer(static_cast<std::size_t>(spec.samples) * 4);
  auto next = Clock::now();
  while (running) {
    if (Clock::now() >= loseAt) gone = true;
    if (gone) break;
    spec.callback(spec.userdata, buffer.data(), static_cast<int>(buffer.size()));
    next += std::chrono::microseconds(1000000LL * spec.samples / 44100);
    std::this_thread::sleep_until(next);
  }
}

}  // namespace

extern "C" {

SDL_bool SDL_SetHint(const char*, const char*) { return SDL_TRUE; }
Uint32 SDL_WasInit(Uint32) { return 0; }
int SDL_InitSubSystem(Uint32) { return 0; }

SDL_AudioDeviceID SDL_OpenAudioDevice(const char*, int, const SDL_AudioSpec* want, SDL_AudioSpec* have, int) {
  if (gone) return 0;
  if (const char* ms = std::getenv("STAND_IN_SDL_LOSE_AFTER_MS"); ms != nullptr && loseAt == Clock::time_point::max())
    loseAt = Clock::now() + std::chrono::milliseconds(std::atoll(ms));
  if (have != nullptr) *have = *want;
  // 0 ms: the device is lost between its opening and the start of play.
  if (Clock::now() >= loseAt) gone = true;
  running = true;
  puller = std::thread(Pull, *want);
  return 1;
}

void SDL_PauseAudioDevice(SDL_AudioDeviceID, int) {}

void SDL_CloseAudioDevice(SDL_AudioDeviceID) {
  running = false;
  if (puller.joinable()) puller.join();
}

SDL_AudioStatus SDL_GetAudioDeviceStatus(SDL_AudioDeviceID) { return gone ? SDL_AUDIO_STOPPED : SDL_AUDIO_PLAYING; }

}  // extern "C"
