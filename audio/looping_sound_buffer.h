// A looping 353,600-byte sound buffer on a sound device, with volume and one
// optional effect (equalizer or gargle).
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "audio_device.h"
#include "effects.h"
#include "ring_memory.h"
#include "sound_buffer.h"

class LoopingSoundBuffer : public SoundBuffer {
 public:
  using Clock = std::chrono::steady_clock;
  // A device that has taken no frame for this long while the buffer plays
  // counts as lost (GetStatus says DSBSTATUS_BUFFERLOST): some sound
  // servers' devices stop for good without ever saying so.
  static constexpr Clock::duration kSilentDeviceLimit = std::chrono::seconds(2);

  // effectsCapable false: a buffer without effect support (SetFX refuses).
  // now: the clock that times the device's silence (tests pass their own).
  LoopingSoundBuffer(std::unique_ptr<AudioDevice> device, bool effectsCapable,
                     std::function<Clock::time_point()> now = Clock::now);
  ~LoopingSoundBuffer() override;
  LoopingSoundBuffer(const LoopingSoundBuffer&) = delete;
  LoopingSoundBuffer& operator=(const LoopingSoundBuffer&) = delete;

  // Opens the device; false when it cannot be opened.
  bool Start();

  HRESULT GetCurrentPosition(std::uint32_t* playCursor, std::uint32_t* writeCursor) override;
  HRESULT Lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1, void** region2,
               std::uint32_t* bytes2, std::uint32_t flags) override;
  HRESULT Unlock(void* region1, std::uint32_t bytes1, void* region2, std::uint32_t bytes2) override;
  HRESULT Play(std::uint32_t reserved, std::uint32_t priority, std::uint32_t flags) override;
  HRESULT Stop() override;
  HRESULT SetCurrentPosition(std::uint32_t position) override;
  HRESULT GetStatus(std::uint32_t* status) override;
  HRESULT Restore() override;
  HRESULT SetVolume(std::int32_t volume) override;
  HRESULT SetFX(std::uint32_t count, const DSEFFECTDESC* effects, std::uint32_t* resultCodes) override;
  HRESULT GetObjectInPath(const GUID& effectClass, std::uint32_t index, const GUID& interfaceId,
                          void** object) override;
  HRESULT SetNotificationPositions(std::uint32_t count, const DSBPOSITIONNOTIFY* positions) override;
  HRESULT GetPlayedFrames(std::uint64_t* frames) override;

  // The peak levels (0..32,768) of the left and right channel over the
  // `frames` frames that follow the play cursor: what is being heard.
  void HeardLevels(std::uint32_t frames, std::int32_t& left, std::int32_t& right);

  // The play cursor in frames without the ring's wrap: SetCurrentPosition
  // sets it to the frame at that offset, and every frame the device takes
  // while the buffer plays moves it on by one. The cursor's byte offset is
  // always FramePosition() * 4 modulo the ring's size; unlike the offset,
  // this count stays right however long its reader does not look.
  std::uint64_t FramePosition() const { return framePosition_.load(std::memory_order_acquire); }

  // The device's side: the next `frames` frames as heard.
  void Pull(std::int16_t* out, std::uint32_t frames);

 private:
  std::unique_ptr<AudioDevice> device_;
  const bool effectsCapable_;
  RingMemory ring_;
  std::atomic<std::uint32_t> cursor_{0};  // byte offset of the next frame
  std::atomic<std::uint64_t> played_{0};  // frames taken while playing
  std::atomic<std::uint64_t> framePosition_{0};
  std::atomic<bool> playing_{false};
  std::atomic<bool> looping_{false};
  std::atomic<std::int32_t> volume_{0};
  std::atomic<bool> lost_{false};
  std::atomic<std::uint32_t> published_{0};  // counts unlocks: orders ring writes before the device's reads

  // The device's silence: when it last pulled, when the buffer last began
  // to play, and when a silence of kSilentDeviceLimit was first seen. A
  // silence counts only once a second look, a little later, finds it still
  // unbroken: a process that was stopped (Ctrl-Z) and continued looks at the
  // clock before its device thread has had a chance to pull.
  bool DeviceSilent();
  std::function<Clock::time_point()> now_;
  std::atomic<Clock::rep> lastPull_{0};
  std::atomic<Clock::rep> playedAt_{0};
  std::optional<Clock::rep> silenceSeen_;  // under cursorMutex_

  std::vector<DSBPOSITIONNOTIFY> notify_;  // under cursorMutex_
  bool restarted_ = true;  // under cursorMutex_: nothing played since the buffer was made or stopped
  std::mutex cursorMutex_;  // held by the device while it takes frames, and by Play, Stop, SetCurrentPosition
  std::mutex effectMutex_;  // held by the device only while it processes a pull
  std::unique_ptr<ParamEqEffect> eq_;
  std::unique_ptr<GargleEffect> gargle_;
  StereoEffect* effect_ = nullptr;
  GUID effectClass_{};
  std::vector<float> scratch_;
  double gain_ = 1.0;  // smoothed volume gain
};
