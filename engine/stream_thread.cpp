#include "stream_thread.h"

#include <pthread.h>
#include <sched.h>

#include <chrono>
#include <system_error>
#include <thread>

#include "renderer.h"

std::atomic<std::int32_t> threadRunning{0};
std::atomic<std::uint32_t> stopRequest{0};

namespace {
std::thread streamThread;
}

std::uint32_t CursorBlock(std::uint32_t playCursor) {
  return ((playCursor / kBytesPerFrame) % (kRingBlocks * kBlockFrames)) / kBlockFrames;
}

void StreamThread(void*) {
  // threadRunning was raised by the starter.
  std::uint32_t cursor = 0;
  for (;;) {
    std::uint32_t position = 0;
    if (soundBuffer->GetCurrentPosition(&position, nullptr) >= 0) cursor = position;
    const std::uint32_t cursorBlock = CursorBlock(cursor);
    // One catch-up: every block from writeBlock up to the cursor block as it
    // was when the pass began, one every 5 ms. A render that fails (the
    // buffer cannot be locked, the device is gone) ends the pass: the next
    // pass tries the same block again, and a stop request is seen in
    // between, so a buffer whose locks fail for ever cannot hold a stop.
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      if (writeBlock == cursorBlock) break;
      // The log index moves on first, so the window never reads the entry
      // being rewritten, which will be heard only two seconds later.
      positionLogIndex.store((positionLogIndex.load(std::memory_order_relaxed) + 1) % kRingBlocks,
                             std::memory_order_release);
      if (RenderBlock() < 0) break;
    }
    if (stopRequest.load(std::memory_order_acquire) != 0) break;
  }
  threadRunning.fetch_sub(1, std::memory_order_release);
}

void StartStreamThread() {
  threadRunning.store(1, std::memory_order_release);
  try {
    streamThread = std::thread(StreamThread, nullptr);
  } catch (const std::system_error&) {
    threadRunning.store(0, std::memory_order_release);
    return;
  }
  pthread_setname_np(streamThread.native_handle(), "zevora-stream");
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  pthread_setschedparam(streamThread.native_handle(), SCHED_FIFO, &param);  // best effort
}

void StopStreamThread() {
  if (threadRunning.load(std::memory_order_acquire) != 0) {
    stopRequest.fetch_add(1, std::memory_order_acq_rel);
    while (threadRunning.load(std::memory_order_acquire) != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(8));
  }
  if (streamThread.joinable()) streamThread.join();
}
