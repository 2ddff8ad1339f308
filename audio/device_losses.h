// Tells a sound device that is lost now and then (a sound server that
// restarts, headphones unplugged) from one that comes back only to be lost
// again at once: it opens but fails every write, and nothing would ever be
// heard from it.
#pragma once

#include <cstdint>
#include <optional>

class DeviceLosses {
 public:
  // At a loss, with the buffer's played frames: true where the device has
  // now been lost again before it had played a second after each of the
  // last four restores (a loss while paused, when nothing plays, does not
  // count).
  bool GoneForGood(std::uint64_t played, bool paused) {
    if (restoredAt_ && !paused) shortRestores_ = played - *restoredAt_ < kOneSecond ? shortRestores_ + 1 : 0;
    return shortRestores_ >= kShortRestores;
  }
  // After a restore that opened a device.
  void Restored(std::uint64_t played) { restoredAt_ = played; }
  // Given up: the next device starts with a clean slate.
  void Clear() {
    restoredAt_.reset();
    shortRestores_ = 0;
  }

 private:
  static constexpr std::uint64_t kOneSecond = 44100;
  static constexpr int kShortRestores = 4;
  std::optional<std::uint64_t> restoredAt_;
  int shortRestores_ = 0;
};
