// The looping sound buffer the engine streams into.
//
// The engine only needs the operations below; the audio layer provides a
// real device-backed buffer and a memory-backed one for offline rendering and
// tests. Results are HRESULT-style: negative means failure.
#pragma once

#include <cstdint>

using HRESULT = std::int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT DSERR_BUFFERLOST = static_cast<HRESULT>(0x88780096u);
constexpr HRESULT DSERR_INVALIDCALL = static_cast<HRESULT>(0x88780032u);

constexpr std::uint32_t DSBPLAY_LOOPING = 0x1;
constexpr std::uint32_t DSBSTATUS_PLAYING = 0x1;
constexpr std::uint32_t DSBSTATUS_BUFFERLOST = 0x2;
constexpr std::uint32_t DSBSTATUS_LOOPING = 0x4;

// Output format of every buffer: PCM, 2 channels, 44,100 Hz, 16 bits.
constexpr std::uint32_t kSampleRate = 44100;
constexpr std::uint32_t kBytesPerFrame = 4;
constexpr std::uint32_t kBlockFrames = 884;
constexpr std::uint32_t kBlockBytes = kBlockFrames * kBytesPerFrame;  // 3,536
constexpr std::uint32_t kRingBlocks = 100;
constexpr std::uint32_t kRingBytes = kBlockBytes * kRingBlocks;  // 353,600

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};

inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}

struct DSEFFECTDESC {
  std::uint32_t dwSize;  // 32
  std::uint32_t dwFlags;
  GUID guidDSFXClass;
  std::uintptr_t dwReserved1;
  std::uintptr_t dwReserved2;
};

constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);

// An event a sound buffer sets when its play cursor passes a notification
// position; the streaming thread waits on it instead of polling. It resets
// when a wait returns, and setting it again before that changes nothing.
class NotifyEvent {
 public:
  NotifyEvent();
  ~NotifyEvent();
  NotifyEvent(const NotifyEvent&) = delete;
  NotifyEvent& operator=(const NotifyEvent&) = delete;
  void Set();
  // True when it was set, false when the time ran out.
  bool Wait(std::int32_t timeoutMs);

 private:
  int fd_;
};

struct DSBPOSITIONNOTIFY {
  std::uint32_t dwOffset;  // byte offset in the ring
  NotifyEvent* hEventNotify;
};

class SoundBuffer {
 public:
  virtual ~SoundBuffer() = default;
  // Byte offset 0..353,599 of the frame being heard.
  virtual HRESULT GetCurrentPosition(std::uint32_t* playCursor, std::uint32_t* writeCursor) = 0;
  // Hands out a writable region of the ring. Only the first region is used.
  virtual HRESULT Lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1, void** region2,
                       std::uint32_t* bytes2, std::uint32_t flags) = 0;
  virtual HRESULT Unlock(void* region1, std::uint32_t bytes1, void* region2, std::uint32_t bytes2) = 0;
  virtual HRESULT Play(std::uint32_t reserved, std::uint32_t priority, std::uint32_t flags) = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT SetCurrentPosition(std::uint32_t position) = 0;
  virtual HRESULT GetStatus(std::uint32_t* status) = 0;
  virtual HRESULT Restore() = 0;
  // Hundredths of a decibel, -10,000 (silence) .. 0 (unity).
  virtual HRESULT SetVolume(std::int32_t volume) = 0;
  // count 0 removes every effect; count 1 installs the effect described.
  virtual HRESULT SetFX(std::uint32_t count, const DSEFFECTDESC* effects, std::uint32_t* resultCodes) = 0;
  virtual HRESULT GetObjectInPath(const GUID& effectClass, std::uint32_t index, const GUID& interfaceId,
                                  void** object) = 0;
  // Events to set when the play cursor passes these offsets (count 0:
  // none). A buffer that cannot notify says E_NOTIMPL, and its cursor is
  // polled instead.
  virtual HRESULT SetNotificationPositions(std::uint32_t count, const DSBPOSITIONNOTIFY* positions) {
    (void)count;
    (void)positions;
    return E_NOTIMPL;
  }
  // Frames the device has taken from the buffer while it played, since the
  // buffer was made: what has been heard, however far the cursor went round
  // the ring in between. E_NOTIMPL where the buffer does not count them.
  virtual HRESULT GetPlayedFrames(std::uint64_t* frames) {
    (void)frames;
    return E_NOTIMPL;
  }
};
