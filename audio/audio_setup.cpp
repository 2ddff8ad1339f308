#include "audio_setup.h"

int SetUpAudio(const AudioSetupOptions& options, AudioService& service) {
  std::unique_ptr<AudioDevice> device;
  if (options.makeDevice) {
    device = options.makeDevice();
  } else {
    if (!InitSdlAudio()) return -1;
    device = MakeSdlAudioDevice();
  }
  if (!device) return -1;
  auto buffer = std::make_unique<LoopingSoundBuffer>(std::move(device), !options.legacy);
  if (!buffer->Start()) return -1;
  service.buffer = std::move(buffer);
  service.legacy = options.legacy;
  return 0;
}
