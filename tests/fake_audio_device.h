// A sound device double: the test pulls frames by hand and can make the
// device vanish or refuse to open.
#pragma once

#include <atomic>
#include <vector>

#include "audio_device.h"

class FakeAudioDevice : public AudioDevice {
 public:
  struct Control {
    std::atomic<bool> lost{false};
    std::atomic<bool> refuseOpen{false};
    std::atomic<int> opens{0};
    Pull pull;
  };
  explicit FakeAudioDevice(Control& control) : control_(control) {}
  bool Open(Pull pull) override {
    if (control_.refuseOpen) return false;
    control_.opens++;
    control_.lost = false;
    control_.pull = std::move(pull);
    return true;
  }
  void Close() override {}
  bool Lost() override { return control_.lost; }

 private:
  Control& control_;
};

// Pulls `frames` frames from the device's buffer.
inline std::vector<std::int16_t> PullFrames(FakeAudioDevice::Control& control, std::uint32_t frames) {
  std::vector<std::int16_t> out(2 * frames);
  control.pull(out.data(), frames);
  return out;
}
