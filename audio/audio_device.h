// The sound device under a looping sound buffer: it pulls frames from the
// buffer on a thread of its own. A double of it lets tests pull frames by
// hand and make the device vanish.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class AudioDevice {
 public:
  // Fills `frames` interleaved 16-bit stereo frames at 44,100 Hz.
  using Pull = std::function<void(std::int16_t* out, std::uint32_t frames)>;
  virtual ~AudioDevice() = default;
  // Opens the default output device and starts pulling.
  virtual bool Open(Pull pull) = 0;
  virtual void Close() = 0;
  // True once the device has gone away (unplugged, server gone).
  virtual bool Lost() = 0;
};

// SDL2's audio subsystem: the default device, 44,100 Hz, stereo, signed
// 16-bit (SDL converts if the hardware wants another format), 4,096 frames.
std::unique_ptr<AudioDevice> MakeSdlAudioDevice();

// Initialises SDL's audio subsystem once (without its signal handlers).
bool InitSdlAudio();

// Why SDL's audio could not be started or its device opened, the last time
// either failed: SDL's own words (or why the library could not be loaded).
std::string SdlAudioError();
