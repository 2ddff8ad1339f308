// The sound device through SDL2's audio subsystem (no video, no events).
// SDL2 is loaded at run time, like a platform audio library: programs that
// never open a device (offline rendering) do not pay for loading it and the
// many libraries behind it.
#include <SDL.h>
#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "audio_device.h"

namespace {

struct SdlApi {
  decltype(&SDL_SetHint) SetHint = nullptr;
  decltype(&SDL_WasInit) WasInit = nullptr;
  decltype(&SDL_InitSubSystem) InitSubSystem = nullptr;
  decltype(&SDL_OpenAudioDevice) OpenAudioDevice = nullptr;
  decltype(&SDL_PauseAudioDevice) PauseAudioDevice = nullptr;
  decltype(&SDL_CloseAudioDevice) CloseAudioDevice = nullptr;
  decltype(&SDL_GetAudioDeviceStatus) GetAudioDeviceStatus = nullptr;
  decltype(&SDL_GetError) GetError = nullptr;
  bool loaded = false;
};

SdlApi sdl;
std::string lastError;

void KeepSdlError() {
  const char* text = sdl.GetError();
  lastError = text != nullptr && *text != '\0' ? text : "no reason given";
}

template <typename F>
bool Resolve(void* library, const char* name, F& function) {
  function = reinterpret_cast<F>(dlsym(library, name));
  return function != nullptr;
}

bool LoadSdl() {
  if (sdl.loaded) return true;
  // ZEVORA_SDL_LIBRARY names another build of the library (or a stand-in).
  const char* name = std::getenv("ZEVORA_SDL_LIBRARY");
  void* library = dlopen(name != nullptr && *name != '\0' ? name : "libSDL2-2.0.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    lastError = why != nullptr ? why : "the SDL2 library cannot be loaded";
    return false;
  }
  sdl.loaded = Resolve(library, "SDL_SetHint", sdl.SetHint) && Resolve(library, "SDL_WasInit", sdl.WasInit) &&
               Resolve(library, "SDL_InitSubSystem", sdl.InitSubSystem) &&
               Resolve(library, "SDL_OpenAudioDevice", sdl.OpenAudioDevice) &&
               Resolve(library, "SDL_PauseAudioDevice", sdl.PauseAudioDevice) &&
               Resolve(library, "SDL_CloseAudioDevice", sdl.CloseAudioDevice) &&
               Resolve(library, "SDL_GetAudioDeviceStatus", sdl.GetAudioDeviceStatus) &&
               Resolve(library, "SDL_GetError", sdl.GetError);
  if (!sdl.loaded) lastError = "the SDL2 library lacks the audio functions";
  return sdl.loaded;  // the library stays loaded for the whole run
}

class SdlAudioDevice : public AudioDevice {
 public:
  ~SdlAudioDevice() override { Close(); }

  bool Open(Pull pull) override {
    Close();
    pull_ = std::move(pull);
    SDL_AudioSpec want{};
    want.freq = 44100;
    want.format = AUDIO_S16SYS;
    want.channels = 2;
    want.samples = 4096;  // about 93 ms: few wake-ups, and pause, volume and effects are still heard promptly
    want.callback = &SdlAudioDevice::Callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    device_ = sdl.OpenAudioDevice(nullptr, 0, &want, &have, 0);  // SDL converts any other format
    if (device_ == 0) {
      KeepSdlError();
      return false;
    }
    sdl.PauseAudioDevice(device_, 0);
    return true;
  }

  void Close() override {
    if (device_ != 0) sdl.CloseAudioDevice(device_);
    device_ = 0;
  }

  bool Lost() override { return device_ != 0 && sdl.GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED; }

 private:
  static void Callback(void* self, Uint8* stream, int bytes) {
    auto* device = static_cast<SdlAudioDevice*>(self);
    device->pull_(reinterpret_cast<std::int16_t*>(stream), static_cast<std::uint32_t>(bytes) / 4);
  }

  SDL_AudioDeviceID device_ = 0;
  Pull pull_;
};

}  // namespace

bool InitSdlAudio() {
  if (!LoadSdl()) return false;
  // SDL would otherwise install SIGINT/SIGTERM handlers that swallow them.
  sdl.SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (sdl.WasInit(SDL_INIT_AUDIO)) return true;
  if (sdl.InitSubSystem(SDL_INIT_AUDIO) == 0) return true;
  KeepSdlError();
  return false;
}

std::unique_ptr<AudioDevice> MakeSdlAudioDevice() { return std::make_unique<SdlAudioDevice>(); }

std::string SdlAudioError() { return lastError; }
