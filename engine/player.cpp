#include "player.h"

#include <cfenv>
#include <cstring>

#include "loader.h"
#include "mixer.h"
#include "module.h"
#include "renderer.h"
#include "replayer.h"
#include "stream_thread.h"

void ResetPlayback() {
  std::memset(voices, 0, sizeof voices);
  std::memset(channels, 0, sizeof channels);
  for (int v = kVoiceCount - 1; v >= 0; --v) {
    voices[v].voiceIndex = v;
    voices[v].stepInt = 1;
  }
  ModuleState& m = moduleState;
  StartSequencer(m);
  for (int c = 0; c < m.channelCount && c < kMaxChannels; ++c) channels[c].voice = &voices[c];
}

// The stream ends before the ring, the buffer or the module are touched.
HRESULT PlayerStop() {
  StopStreamThread();
  ClearPositionLog();
  writeBlock = 0;
  songFrame = 0;
  songEndFrame = kNoSongEnd;
  if (soundBuffer != nullptr) {
    soundBuffer->Stop();
    soundBuffer->SetCurrentPosition(0);
  }
  soundBuffer = nullptr;
  FreeModule();
  return E_INVALIDARG;
}

HRESULT PlayerPrepare(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer) {
  return PlayerPrepareFrom(source, param, kind, buffer, 0, kNoSongEnd);
}

HRESULT PlayerPrepareFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                          std::uint64_t startFrame, std::uint64_t endFrame) {
  PlayerStop();
  if (source == nullptr || buffer == nullptr) return E_INVALIDARG;
  soundBuffer = buffer;

  if (!OpenAndLoadModule(source, param, kind)) {
    return PlayerStop();
  }
  BuildSampleSpans();  // only a module that is played needs them

  ResetPlayback();
  std::fesetenv(FE_DFL_ENV);
  // The mixer's runs end at block boundaries, and where they end is part of
  // the sound: the ring keeps the blocks of a play from the start, and the
  // block that holds the start frame is its first.
  SkipFrames(startFrame - startFrame % kBlockFrames);
  songEndFrame = endFrame;

  // A lock that succeeds but hands out no whole sample would never let the
  // ring fill; it fails the prefill like a failed lock.
  do {
    const std::uint32_t before = writeBlock;
    if (RenderBlock() < 0 || writeBlock == before) {
      return PlayerStop();
    }
  } while (writeBlock != 0);
  return S_OK;
}

HRESULT PlayerPlay(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer) {
  return PlayerPlayFrom(source, param, kind, buffer, 0, kNoSongEnd);
}

HRESULT PlayerPlayFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                       std::uint64_t startFrame, std::uint64_t endFrame) {
  const HRESULT prepared = PlayerPrepareFrom(source, param, kind, buffer, startFrame, endFrame);
  if (prepared < 0) return prepared;
  stopRequest.store(0, std::memory_order_release);
  // Heard from the start frame on, inside the ring's first block.
  soundBuffer->SetCurrentPosition(static_cast<std::uint32_t>(startFrame % kBlockFrames) * kBytesPerFrame);
  const HRESULT played = soundBuffer->Play(0, 0, DSBPLAY_LOOPING);
  StartStreamThread();
  return played;
}

namespace {
// The entry of the block being heard. The streaming thread moves the index
// on before it rewrites the entry the index left, so an entry read while
// the index stayed put is never one that is being rewritten; if the index
// moved in between, the entry may already describe a block two seconds
// ahead, and the read is made again.
PositionLogEntry HeardEntry() {
  std::uint32_t index = positionLogIndex.load(std::memory_order_acquire);
  for (;;) {
    const PositionLogEntry entry = ReadPositionLog(index);
    const std::uint32_t again = positionLogIndex.load(std::memory_order_acquire);
    if (again == index) return entry;
    index = again;
  }
}
}  // namespace

std::uint32_t PlayerGetPosition() { return HeardEntry().songPosition; }

std::uint32_t PlayerGetTime() { return HeardEntry().elapsedMs; }
