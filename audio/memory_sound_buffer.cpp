#include "memory_sound_buffer.h"

MemorySoundBuffer::MemorySoundBuffer() : ring_(kRingBytes) {}

void MemorySoundBuffer::SetPlayCursor(std::uint32_t bytes) {
  std::lock_guard<std::mutex> lock(cursorMutex_);
  cursor_.store(bytes % kRingBytes);
}

void MemorySoundBuffer::AdvancePlayCursor(std::uint32_t bytes) {
  std::lock_guard<std::mutex> lock(cursorMutex_);
  cursor_.store((cursor_.load() + bytes) % kRingBytes);
  played_.fetch_add(bytes / kBytesPerFrame);
}

void MemorySoundBuffer::AdvancePlayCursorWhilePlaying(std::uint32_t bytes) {
  std::lock_guard<std::mutex> lock(cursorMutex_);
  if (!playing_.load()) return;
  cursor_.store((cursor_.load() + bytes) % kRingBytes);
  played_.fetch_add(bytes / kBytesPerFrame);
}

HRESULT MemorySoundBuffer::GetPlayedFrames(std::uint64_t* frames) {
  if (frames == nullptr) return E_INVALIDARG;
  *frames = played_.load();
  return S_OK;
}

void MemorySoundBuffer::Record(std::string call) {
  std::lock_guard<std::mutex> lock(callsMutex_);
  calls_.push_back(std::move(call));
}

std::vector<std::string> MemorySoundBuffer::Calls() const {
  std::lock_guard<std::mutex> lock(callsMutex_);
  return calls_;
}

void MemorySoundBuffer::ClearCalls() {
  std::lock_guard<std::mutex> lock(callsMutex_);
  calls_.clear();
}

HRESULT MemorySoundBuffer::GetCurrentPosition(std::uint32_t* playCursor, std::uint32_t* writeCursor) {
  if (playCursor) *playCursor = cursor_.load();
  if (writeCursor) *writeCursor = cursor_.load();
  return S_OK;
}

HRESULT MemorySoundBuffer::Lock(std::uint32_t offset, std::uint32_t bytes, void** region1, std::uint32_t* bytes1,
                                void** region2, std::uint32_t* bytes2, std::uint32_t) {
  locks_.fetch_add(1);
  int pending = failLocks_.load();
  while (pending > 0 && !failLocks_.compare_exchange_weak(pending, pending - 1)) {
  }
  if (pending > 0) return failResult_.load();
  if (region1 == nullptr || bytes1 == nullptr || offset >= kRingBytes || bytes > kRingBytes) return E_INVALIDARG;
  std::uint32_t first = bytes;
  if (first > kRingBytes - offset) first = kRingBytes - offset;
  if (first > lockLimit_.load()) first = lockLimit_.load();
  *region1 = ring_.data() + offset;
  *bytes1 = first;
  if (region2) *region2 = nullptr;
  if (bytes2) *bytes2 = 0;
  return S_OK;
}

HRESULT MemorySoundBuffer::Unlock(void*, std::uint32_t, void*, std::uint32_t) {
  unlocks_.fetch_add(1);
  return S_OK;
}

HRESULT MemorySoundBuffer::Play(std::uint32_t, std::uint32_t, std::uint32_t flags) {
  Record("Play " + std::to_string(flags));
  if (lost_.load()) return DSERR_BUFFERLOST;
  std::lock_guard<std::mutex> lock(cursorMutex_);
  playing_.store(true);
  return S_OK;
}

HRESULT MemorySoundBuffer::Stop() {
  Record("Stop");
  std::lock_guard<std::mutex> lock(cursorMutex_);
  playing_.store(false);
  return S_OK;
}

HRESULT MemorySoundBuffer::SetCurrentPosition(std::uint32_t position) {
  Record("SetCurrentPosition " + std::to_string(position));
  if (position >= kRingBytes) return E_INVALIDARG;
  std::lock_guard<std::mutex> lock(cursorMutex_);
  cursor_.store(position);
  return S_OK;
}

HRESULT MemorySoundBuffer::GetStatus(std::uint32_t* status) {
  if (status == nullptr) return E_INVALIDARG;
  *status = (playing_.load() ? DSBSTATUS_PLAYING | DSBSTATUS_LOOPING : 0) | (lost_.load() ? DSBSTATUS_BUFFERLOST : 0);
  return S_OK;
}

HRESULT MemorySoundBuffer::Restore() {
  Record("Restore");
  lost_.store(false);
  return S_OK;
}

HRESULT MemorySoundBuffer::SetVolume(std::int32_t volume) {
  Record("SetVolume " + std::to_string(volume));
  if (volume < -10000 || volume > 0) return E_INVALIDARG;
  volume_.store(volume);
  return S_OK;
}

HRESULT MemorySoundBuffer::SetFX(std::uint32_t count, const DSEFFECTDESC*, std::uint32_t*) {
  Record("SetFX " + std::to_string(count));
  return count == 0 ? S_OK : E_NOINTERFACE;
}

HRESULT MemorySoundBuffer::GetObjectInPath(const GUID&, std::uint32_t, const GUID&, void** object) {
  if (object) *object = nullptr;
  return E_NOINTERFACE;
}
