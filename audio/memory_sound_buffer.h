// A sound buffer backed by memory: the ring the engine writes into, with a
// play cursor that its owner moves. Used for offline rendering and tests; it
// can be made to fail its locks and it records what it was asked.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "ring_memory.h"
#include "sound_buffer.h"

class MemorySoundBuffer : public SoundBuffer {
 public:
  MemorySoundBuffer();

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
  HRESULT GetPlayedFrames(std::uint64_t* frames) override;

  // The owner's side. Moving the cursor on counts the frames as played;
  // setting it does not.
  const std::uint8_t* Ring() const { return ring_.data(); }
  void SetPlayCursor(std::uint32_t bytes);
  void AdvancePlayCursor(std::uint32_t bytes);
  // Moves the cursor on as a playing device does: only while the buffer
  // plays, and never in between Stop or SetCurrentPosition and their effect.
  void AdvancePlayCursorWhilePlaying(std::uint32_t bytes);
  std::uint32_t PlayCursor() const { return cursor_.load(); }
  bool Playing() const { return playing_.load(); }
  std::int32_t Volume() const { return volume_.load(); }
  // The next `count` locks fail with `result` (the result is in place
  // before a lock on another thread can see the count).
  void FailLocks(int count, HRESULT result = E_FAIL) {
    failResult_.store(result);
    failLocks_.store(count);
  }
  // Locks hand out at most this many bytes (default: all asked for).
  void LimitLocks(std::uint32_t bytes) { lockLimit_.store(bytes); }
  void SetLost(bool lost) { lost_.store(lost); }
  int LockCount() const { return locks_.load(); }
  int UnlockCount() const { return unlocks_.load(); }
  std::vector<std::string> Calls() const;
  void ClearCalls();

 private:
  void Record(std::string call);

  RingMemory ring_;
  std::mutex cursorMutex_;  // the owner's cursor moves against Play, Stop and SetCurrentPosition
  std::atomic<std::uint32_t> cursor_{0};
  std::atomic<std::uint64_t> played_{0};
  std::atomic<bool> playing_{false};
  std::atomic<bool> lost_{false};
  std::atomic<std::int32_t> volume_{0};
  std::atomic<int> failLocks_{0};
  std::atomic<HRESULT> failResult_{E_FAIL};
  std::atomic<std::uint32_t> lockLimit_{kRingBytes};
  std::atomic<int> locks_{0};
  std::atomic<int> unlocks_{0};
  mutable std::mutex callsMutex_;
  std::vector<std::string> calls_;
};
