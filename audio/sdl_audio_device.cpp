// The sound device through SDL2's audio subsystem (no video, no events).
#include <SDL.h>

#include "audio_device.h"

namespace {

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
    want.samples = 512;  // about 12 ms: pause, volume and effects are heard at once
    want.callback = &SdlAudioDevice::Callback;
    want.userdata = this;
    SDL_AudioSpec have{};
    device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);  // SDL converts any other format
    if (device_ == 0) return false;
    SDL_PauseAudioDevice(device_, 0);
    return true;
  }

  void Close() override {
    if (device_ != 0) SDL_CloseAudioDevice(device_);
    device_ = 0;
  }

  bool Lost() override { return device_ != 0 && SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED; }

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
  // SDL would otherwise install SIGINT/SIGTERM handlers that swallow them.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_WasInit(SDL_INIT_AUDIO)) return true;
  return SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
}

std::unique_ptr<AudioDevice> MakeSdlAudioDevice() { return std::make_unique<SdlAudioDevice>(); }
