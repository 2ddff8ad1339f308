// Audio set-up: the device and the one secondary sound buffer the engine
// streams into, for the whole run.
#pragma once

#include <functional>
#include <memory>

#include "audio_device.h"
#include "looping_sound_buffer.h"

struct AudioService {
  std::unique_ptr<LoopingSoundBuffer> buffer;
  bool legacy = false;  // the device has no effects capability
};

struct AudioSetupOptions {
  bool legacy = false;  // set up without effects, as an older audio service would
  // Makes the device; SDL's by default. Tests pass a double.
  std::function<std::unique_ptr<AudioDevice>()> makeDevice;
};

// 0 and a ready service, or -1 when any step fails (the audio subsystem
// cannot start, no device can be opened).
int SetUpAudio(const AudioSetupOptions& options, AudioService& service);
