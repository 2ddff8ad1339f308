#include "stream_thread.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <exception>
#include <thread>

#include "player.h"

namespace {
constexpr std::uint32_t kNotifyEvery = 10;  // blocks
}

NotifyEvent::NotifyEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

NotifyEvent::~NotifyEvent() {
  if (fd_ >= 0) ::close(fd_);
}

void NotifyEvent::Set() {
  const std::uint64_t one = 1;
  (void)!::write(fd_, &one, sizeof one);
}

bool NotifyEvent::Wait(std::int32_t timeoutMs) {
  pollfd event{fd_, POLLIN, 0};
  if (::poll(&event, 1, timeoutMs) <= 0) return false;
  std::uint64_t count = 0;
  return ::read(fd_, &count, sizeof count) == sizeof count;
}

std::uint32_t CursorBlock(std::uint32_t playCursor) {
  return ((playCursor / kBytesPerFrame) % (kRingBlocks * kBlockFrames)) / kBlockFrames;
}

void StreamThread(Player* p) {
  Player& player = *p;
  // threadRunning was raised by the starter.
  std::uint32_t cursor = 0;
  for (;;) {
    std::uint32_t position = 0;
    if (player.soundBuffer->GetCurrentPosition(&position, nullptr) >= 0) cursor = position;
    const std::uint32_t cursorBlock = CursorBlock(cursor);
    // One catch-up: every block from writeBlock up to the cursor block as it
    // was when the pass began; polled, one every 5 ms, notified, at once. A
    // render that fails (the buffer cannot be locked, the device is gone)
    // ends the pass: the next pass tries the same block again, and a stop
    // request is seen in between, so a buffer whose locks fail for ever
    // cannot hold a stop.
    for (;;) {
      if (!player.notified) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (player.writeBlock == cursorBlock) break;
      // The log index moves on first, so the window never reads the entry
      // being rewritten, which will be heard only two seconds later.
      player.positionLogIndex.store((player.positionLogIndex.load(std::memory_order_relaxed) + 1) % kRingBlocks,
                                    std::memory_order_release);
      // A lock that hands out no whole sample leaves writeBlock where it
      // was: like a failed one, it ends the pass.
      const std::uint32_t before = player.writeBlock;
      if (RenderBlock(player) < 0 || player.writeBlock == before) break;
    }
    if (player.stopRequest.load(std::memory_order_acquire) != 0) break;
    // Notified: sleep until the device has taken the next ten blocks (or a
    // stop comes); the time limit covers a device that stopped calling.
    if (player.notified) player.blockTaken.Wait(250);
  }
  player.threadRunning.fetch_sub(1, std::memory_order_release);
}

bool StartStreamThread(Player& player) {
  // The buffer is asked to notify at every tenth block start: the thread
  // then wakes five times a second and renders ten blocks, well ahead of
  // the two seconds the ring holds.
  DSBPOSITIONNOTIFY positions[kRingBlocks / kNotifyEvery];
  for (std::uint32_t n = 0; n < kRingBlocks / kNotifyEvery; ++n)
    positions[n] = {n * kNotifyEvery * kBlockBytes, &player.blockTaken};
  player.notified = player.soundBuffer->SetNotificationPositions(kRingBlocks / kNotifyEvery, positions) >= 0;
  player.blockTaken.Wait(0);  // from an earlier play
  player.threadRunning.store(1, std::memory_order_release);
  try {
    player.thread = std::thread(StreamThread, &player);
  } catch (const std::exception&) {  // no thread to be had, or no room for its state
    player.threadRunning.store(0, std::memory_order_release);
    return false;
  }
  pthread_setname_np(player.thread.native_handle(), "zevora-stream");
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  pthread_setschedparam(player.thread.native_handle(), SCHED_FIFO, &param);  // best effort
  return true;
}

void StopStreamThread(Player& player) {
  if (player.threadRunning.load(std::memory_order_acquire) != 0) {
    player.stopRequest.fetch_add(1, std::memory_order_acq_rel);
    if (player.notified) player.blockTaken.Set();  // a waiting thread sees the request at once
    while (player.threadRunning.load(std::memory_order_acquire) != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(8));
  }
  if (player.thread.joinable()) player.thread.join();
  if (player.notified && player.soundBuffer != nullptr) player.soundBuffer->SetNotificationPositions(0, nullptr);
  player.notified = false;
}
