#include "looping_sound_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace {
double VolumeGain(std::int32_t hundredthsDb) {
  if (hundredthsDb == 0) return 1.0;  // the usual case, without a pow() per pull
  if (hundredthsDb <= -10000) return 0.0;
  return std::pow(10.0, hundredthsDb / 2000.0);
}

// A filter fed silence decays into the denormal range and may stay there
// for good, where every operation on its state costs many times more. While
// the effect runs, results that small are taken as zero (flush-to-zero and
// denormals-are-zero): far below anything a 16-bit frame can tell, so the
// sound is the same. The device thread's own setting comes back afterwards.
class DenormalsAsZero {
 public:
#if defined(__SSE__) || defined(__x86_64__)
  DenormalsAsZero() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040); }
  ~DenormalsAsZero() { _mm_setcsr(saved_); }

 private:
  unsigned saved_;
#endif
};

constexpr auto kSecondLook = std::chrono::milliseconds(250);
}  // namespace

LoopingSoundBuffer::LoopingSoundBuffer(std::unique_ptr<AudioDevice> device, bool effectsCapable,
                                       std::function<Clock::time_point()> now)
    : device_(std::move(device)), effectsCapable_(effectsCapable), ring_(kRingBytes), now_(std::move(now)) {}

LoopingSoundBuffer::~LoopingSoundBuffer() {
  if (device_) device_->Close();
}

bool LoopingSoundBuffer::Start() {
  // An opened device has not been silent yet.
  lastPull_.store(now_().time_since_epoch().count(), std::memory_order_release);
  return device_->Open([this](std::int16_t* out, std::uint32_t frames) { Pull(out, frames); });
}

void LoopingSoundBuffer::Pull(std::int16_t* out, std::uint32_t frames) {
  lastPull_.store(now_().time_since_epoch().count(), std::memory_order_release);
  bool restarted = false;
  {
    // Play, Stop and SetCurrentPosition wait for a pull under way, so that a
    // stop followed by a rewind leaves the cursor at the rewind.
    std::lock_guard<std::mutex> lock(cursorMutex_);
    if (!playing_.load(std::memory_order_acquire)) {
      std::memset(out, 0, frames * kBytesPerFrame);
      return;
    }
    restarted = restarted_;
    restarted_ = false;
    // Everything written into the ring before the last Unlock is visible
    // from here on.
    (void)published_.load(std::memory_order_acquire);
    // Take the frames from the ring at the cursor, wrapping at its end.
    std::uint32_t cursor = cursor_.load(std::memory_order_acquire);
    for (std::uint32_t done = 0; done < frames;) {
      std::uint32_t n = (kRingBytes - cursor) / kBytesPerFrame;
      if (n > frames - done) n = frames - done;
      std::memcpy(out + 2 * done, ring_.data() + cursor, n * kBytesPerFrame);
      done += n;
      cursor = (cursor + n * kBytesPerFrame) % kRingBytes;
    }
    // The positions passed on the way, (old cursor, new cursor], set their
    // events: the streaming thread sleeps until then.
    const std::uint32_t from = cursor_.load(std::memory_order_relaxed);
    const std::uint32_t moved = frames * kBytesPerFrame;
    cursor_.store(cursor, std::memory_order_release);
    played_.fetch_add(frames, std::memory_order_release);
    framePosition_.store(framePosition_.load(std::memory_order_relaxed) + frames, std::memory_order_release);
    for (const DSBPOSITIONNOTIFY& n : notify_)
      if ((n.dwOffset + kRingBytes - from - 1) % kRingBytes < moved) n.hEventNotify->Set();
  }

  const double target = VolumeGain(volume_.load(std::memory_order_relaxed));
  std::lock_guard<std::mutex> lock(effectMutex_);
  // The first frames after a stop are heard at the volume set now: nothing
  // was heard in between to glide from (a mute while paused would otherwise
  // fade in from full volume, a blip where silence was asked for).
  if (restarted) gain_ = target;
  if (effect_ == nullptr && target == 1.0 && gain_ == 1.0) return;  // unity: the ring's data as they are
  scratch_.resize(2 * frames);
  for (std::uint32_t i = 0; i < 2 * frames; ++i) scratch_[i] = out[i];
  if (effect_ != nullptr) {
    const DenormalsAsZero flush;
    effect_->Process(scratch_.data(), frames);
  }
  for (std::uint32_t f = 0; f < frames; ++f) {
    // Volume changes glide over a few milliseconds.
    gain_ += (target - gain_) * 0.01;
    if (std::fabs(gain_ - target) < 1e-6) gain_ = target;
    for (int ch = 0; ch < 2; ++ch) {
      const double v = std::nearbyint(scratch_[2 * f + ch] * gain_);
      out[2 * f + ch] = static_cast<std::int16_t>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
    }
  }
}

void LoopingSoundBuffer::HeardLevels(std::uint32_t frames, std::int32_t& left, std::int32_t& right) {
  // Read under the cursor lock: the device moves the cursor on only after
  // this read, and the streaming thread rewrites these frames only once the
  // cursor has passed them.
  std::lock_guard<std::mutex> lock(cursorMutex_);
  (void)published_.load(std::memory_order_acquire);
  std::uint32_t cursor = cursor_.load(std::memory_order_acquire);
  left = right = 0;
  const auto* ring = reinterpret_cast<const std::int16_t*>(ring_.data());
  for (std::uint32_t f = 0; f < frames && f < kRingBytes / kBytesPerFrame; ++f) {
    const std::uint32_t k = (cursor / 2 + 2 * f) % (kRingBytes / 2);
    left = std::max(left, std::abs(std::int32_t{ring[k]}));
    right = std::max(right, std::abs(std::int32_t{ring[k + 1]}));
  }
}

HRESULT LoopingSoundBuffer::GetPlayedFrames(std::uint64_t* frames) {
  if (frames == nullptr) return E_INVALIDARG;
  *frames = played_.load(std::memory_order_acquire);
  return S_OK;
}

HRESULT LoopingSoundBuffer::GetCurrentPosition(std::uint32_t* playCursor, std::uint32_t* writeCursor) {
  const std::uint32_t cursor = cursor_.load(std::memory_order_acquire);
  if (playCursor) *playCursor = cursor;
  if (writeCursor) *writeCursor = cursor;
  return S_OK;
}

HRESULT LoopingSoundBuffer::Lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1,
                                 void** region2, std::uint32_t* bytes2, std::uint32_t) {
  if (region1 == nullptr || bytes1 == nullptr || offset >= kRingBytes || bytes == 0 || bytes > kRingBytes)
    return E_INVALIDARG;
  if (lost_.load()) return DSERR_BUFFERLOST;
  const std::uint32_t first = bytes < kRingBytes - offset ? bytes : kRingBytes - offset;
  *region1 = ring_.data() + offset;
  *bytes1 = first;
  if (region2 != nullptr && bytes2 != nullptr) {
    *region2 = first < bytes ? ring_.data() : nullptr;
    *bytes2 = bytes - first;
  }
  return S_OK;
}

// Publishes what was written into the locked region to the device's thread.
HRESULT LoopingSoundBuffer::Unlock(void* region1, std::uint32_t, void*, std::uint32_t) {
  if (region1 == nullptr) return E_INVALIDARG;
  published_.fetch_add(1, std::memory_order_release);
  return S_OK;
}

HRESULT LoopingSoundBuffer::Play(std::uint32_t, std::uint32_t, std::uint32_t flags) {
  if (lost_.load() || device_->Lost()) {
    lost_.store(true);
    return DSERR_BUFFERLOST;
  }
  std::lock_guard<std::mutex> lock(cursorMutex_);
  looping_.store((flags & DSBPLAY_LOOPING) != 0);
  // The device's silence is timed from here when the buffer was stopped.
  if (!playing_.load(std::memory_order_relaxed))
    playedAt_.store(now_().time_since_epoch().count(), std::memory_order_release);
  playing_.store(true, std::memory_order_release);
  return S_OK;
}

HRESULT LoopingSoundBuffer::Stop() {
  std::lock_guard<std::mutex> lock(cursorMutex_);
  playing_.store(false, std::memory_order_release);
  restarted_ = true;
  return S_OK;
}

HRESULT LoopingSoundBuffer::SetCurrentPosition(std::uint32_t position) {
  if (position >= kRingBytes) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(cursorMutex_);
  cursor_.store(position - position % kBytesPerFrame, std::memory_order_release);
  framePosition_.store(position / kBytesPerFrame, std::memory_order_release);
  return S_OK;
}

bool LoopingSoundBuffer::DeviceSilent() {
  std::lock_guard<std::mutex> lock(cursorMutex_);
  if (!playing_.load(std::memory_order_relaxed)) {
    silenceSeen_.reset();
    return false;
  }
  const Clock::rep now = now_().time_since_epoch().count();
  const Clock::rep heard =
      std::max(lastPull_.load(std::memory_order_acquire), playedAt_.load(std::memory_order_acquire));
  if (Clock::duration(now - heard) < kSilentDeviceLimit) {
    silenceSeen_.reset();
    return false;
  }
  if (!silenceSeen_ || *silenceSeen_ < heard) {
    silenceSeen_ = now;  // the first look at this silence
    return false;
  }
  return Clock::duration(now - *silenceSeen_) >= kSecondLook;
}

HRESULT LoopingSoundBuffer::GetStatus(std::uint32_t* status) {
  if (status == nullptr) return E_INVALIDARG;
  if (device_->Lost() || (!lost_.load() && DeviceSilent())) lost_.store(true);
  std::uint32_t s = 0;
  if (lost_.load()) {
    s = DSBSTATUS_BUFFERLOST;
  } else if (playing_.load()) {
    s = DSBSTATUS_PLAYING | (looping_.load() ? DSBSTATUS_LOOPING : 0);
  }
  *status = s;
  return S_OK;
}

// Reopens the device; the ring, the cursor and the effect are kept, so
// playback goes on from where it was once the buffer plays again.
HRESULT LoopingSoundBuffer::Restore() {
  if (!lost_.load() && !device_->Lost()) return S_OK;
  {
    std::lock_guard<std::mutex> lock(cursorMutex_);
    playing_.store(false);
    restarted_ = true;
  }
  device_->Close();
  if (!Start()) {
    // Without an open device nothing tells of the loss any more: the buffer
    // itself stays lost until a restore opens one.
    lost_.store(true);
    return DSERR_BUFFERLOST;
  }
  {
    std::lock_guard<std::mutex> lock(cursorMutex_);
    silenceSeen_.reset();
  }
  lost_.store(false);
  return S_OK;
}

HRESULT LoopingSoundBuffer::SetNotificationPositions(std::uint32_t count, const DSBPOSITIONNOTIFY* positions) {
  if (count > 0 && positions == nullptr) return E_INVALIDARG;
  for (std::uint32_t i = 0; i < count; ++i)
    if (positions[i].dwOffset >= kRingBytes || positions[i].hEventNotify == nullptr) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(cursorMutex_);
  try {
    notify_.assign(positions, positions + count);
  } catch (const std::bad_alloc&) {
    // No room for the positions: none are kept, and the caller polls.
    notify_.clear();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT LoopingSoundBuffer::SetVolume(std::int32_t volume) {
  if (volume < -10000 || volume > 0) return E_INVALIDARG;
  volume_.store(volume);
  return S_OK;
}

HRESULT LoopingSoundBuffer::SetFX(std::uint32_t count, const DSEFFECTDESC* effects, std::uint32_t* resultCodes) {
  if (!effectsCapable_) return DSERR_CONTROLUNAVAIL;
  if (count > 1 || (count == 1 && effects == nullptr)) return E_INVALIDARG;
  std::unique_ptr<ParamEqEffect> eq;
  std::unique_ptr<GargleEffect> gargle;
  if (count == 1) {
    if (effects->guidDSFXClass == GUID_DSFX_STANDARD_PARAMEQ) {
      eq = std::make_unique<ParamEqEffect>(effectMutex_);
    } else if (effects->guidDSFXClass == GUID_DSFX_STANDARD_GARGLE) {
      gargle = std::make_unique<GargleEffect>(effectMutex_);
    } else {
      if (resultCodes) resultCodes[0] = 1;  // unknown effect
      return REGDB_E_CLASSNOTREG;
    }
    if (resultCodes) resultCodes[0] = 0;
  }
  std::lock_guard<std::mutex> lock(effectMutex_);
  eq_ = std::move(eq);
  gargle_ = std::move(gargle);
  effect_ = eq_ ? static_cast<StereoEffect*>(eq_.get()) : static_cast<StereoEffect*>(gargle_.get());
  effectClass_ = count == 1 ? effects->guidDSFXClass : GUID{};
  return S_OK;
}

HRESULT LoopingSoundBuffer::GetObjectInPath(const GUID& effectClass, std::uint32_t index, const GUID& interfaceId,
                                            void** object) {
  if (object == nullptr) return E_INVALIDARG;
  *object = nullptr;
  std::lock_guard<std::mutex> lock(effectMutex_);
  if (index != 0 || effect_ == nullptr || !(effectClass == effectClass_)) return DSERR_OBJECTNOTFOUND;
  if (eq_ && interfaceId == IID_IDirectSoundFXParamEq) {
    *object = static_cast<IDirectSoundFXParamEq*>(eq_.get());
    return S_OK;
  }
  if (gargle_ && interfaceId == IID_IDirectSoundFXGargle) {
    *object = static_cast<IDirectSoundFXGargle*>(gargle_.get());
    return S_OK;
  }
  return E_NOINTERFACE;
}
