#include "player.h"

#include <cfenv>
#include <cstring>

#include "renderer.h"
#include "stream_thread.h"

Player::~Player() { PlayerStop(*this); }

// Never destroyed: a program may end while it still plays, and its sound
// buffer may be gone by then.
Player& DefaultPlayer() {
  static Player* player = new Player;
  return *player;
}

namespace {

void ClearPositionLog(Player& player) {
  for (auto& entry : player.positionLog) entry.store(0, std::memory_order_release);
  player.positionLogIndex.store(0, std::memory_order_release);
}

// Renders the ring from writeBlock 0 on, with the song at the start of the
// block that holds startFrame; false when a block could not be written. A
// lock that succeeds but hands out no whole sample would never let the ring
// fill; it fails the prefill like a failed lock.
bool Prefill(Player& player, std::uint64_t startFrame) {
  SeekSongToBlock(*player.song, startFrame / kBlockFrames);
  player.writeBlock = 0;
  do {
    const std::uint32_t before = player.writeBlock;
    if (RenderBlock(player) < 0 || player.writeBlock == before) return false;
  } while (player.writeBlock != 0);
  return true;
}

// Heard from the start frame on, inside the ring's first block; a paused
// stream waits there for the buffer to play.
HRESULT StartStream(Player& player, std::uint64_t startFrame, bool paused = false) {
  player.stopRequest.store(0, std::memory_order_release);
  player.soundBuffer->SetCurrentPosition(static_cast<std::uint32_t>(startFrame % kBlockFrames) * kBytesPerFrame);
  const HRESULT played = paused ? S_OK : player.soundBuffer->Play(0, 0, DSBPLAY_LOOPING);
  StartStreamThread(player);
  return played;
}

// The entry of the block being heard. The streaming thread moves the index
// on before it rewrites the entry the index left, so an entry read while
// the index stayed put is never one that is being rewritten; if the index
// moved in between, the entry may already describe a block two seconds
// ahead, and the read is made again.
PositionLogEntry HeardEntry(const Player& player) {
  std::uint32_t index = player.positionLogIndex.load(std::memory_order_acquire);
  for (;;) {
    const PositionLogEntry entry = ReadPositionLog(player, index);
    const std::uint32_t again = player.positionLogIndex.load(std::memory_order_acquire);
    if (again == index) return entry;
    index = again;
  }
}

}  // namespace

PositionLogEntry ReadPositionLog(const Player& player, std::uint32_t index) {
  const std::uint64_t word = player.positionLog[index % kRingBlocks].load(std::memory_order_acquire);
  return {static_cast<std::uint16_t>(word & 0xFFFF), static_cast<std::uint32_t>(word >> 16)};
}

PositionLogEntry ReadPositionLog(std::uint32_t index) { return ReadPositionLog(DefaultPlayer(), index); }

HRESULT RenderBlock(Player& player) {
  Song& song = *player.song;
  const std::uint32_t b = player.writeBlock;
  const std::uint64_t blockStart = song.renderedFrames;
  RenderSongBlock(song);
  song.blockOffset = kBlockFrames;  // the ring takes the whole block
  const ModuleState& m = song.module;
  const std::uint64_t songPosition = (m.orderPosition & 255) | ((m.row & 255) << 8);
  player.positionLog[b].store(songPosition | (std::uint64_t{m.elapsedMs} << 16), std::memory_order_release);

  void* region = nullptr;
  std::uint32_t length = 0;
  const HRESULT locked = player.soundBuffer->Lock(b * kBlockBytes, kBlockBytes, &region, &length, nullptr, nullptr, 0);
  if (locked < 0) return locked;
  if (length > kBlockBytes) length = kBlockBytes;
  if (length >= 2) {
    ConvertBlock(song.mix, song.mix + kBlockFrames, static_cast<std::int16_t*>(region), length / 2, song.mixPath);
    // Nothing from beyond the song's end is heard.
    if (player.songEndFrame < blockStart + kBlockFrames) {
      const std::uint64_t from =
          (player.songEndFrame > blockStart ? player.songEndFrame - blockStart : 0) * kBytesPerFrame;
      if (from < length) std::memset(static_cast<std::uint8_t*>(region) + from, 0, length - from);
    }
    player.writeBlock = (b + 1) % kRingBlocks;
  }
  return player.soundBuffer->Unlock(region, length, nullptr, 0);
}

HRESULT RenderBlock() { return RenderBlock(DefaultPlayer()); }

// The stream ends before the ring, the buffer or the song are touched.
HRESULT PlayerStop(Player& player) {
  StopStreamThread(player);
  ClearPositionLog(player);
  player.writeBlock = 0;
  player.songEndFrame = kNoSongEnd;
  if (player.soundBuffer != nullptr) {
    player.soundBuffer->Stop();
    player.soundBuffer->SetCurrentPosition(0);
  }
  player.soundBuffer = nullptr;
  DestroySong(player.song);
  player.song = nullptr;
  return E_INVALIDARG;
}

HRESULT PlayerStop() { return PlayerStop(DefaultPlayer()); }

HRESULT PlayerPrepareSong(Player& player, Song* song, SoundBuffer* buffer, std::uint64_t startFrame,
                          std::uint64_t endFrame) {
  PlayerStop(player);
  if (song == nullptr || buffer == nullptr) {
    DestroySong(song);
    return E_INVALIDARG;
  }
  player.soundBuffer = buffer;
  player.song = song;
  // Rounding to nearest, as the mixer's arithmetic needs it; the streaming
  // thread starts with this environment too.
  std::fesetenv(FE_DFL_ENV);
  player.songEndFrame = endFrame;
  // The mixer's runs end at block boundaries, and where they end is part of
  // the sound: the ring keeps the blocks of a play from the start, and the
  // block that holds the start frame is its first.
  if (!Prefill(player, startFrame)) return PlayerStop(player);
  return S_OK;
}

HRESULT PlayerPlaySong(Player& player, Song* song, SoundBuffer* buffer, std::uint64_t startFrame,
                       std::uint64_t endFrame) {
  const HRESULT prepared = PlayerPrepareSong(player, song, buffer, startFrame, endFrame);
  if (prepared < 0) return prepared;
  return StartStream(player, startFrame);
}

namespace {

// Stops whatever plays and loads the module, as every start does; null
// (after the stop and the rewind of the buffer) when there is nothing to
// play.
Song* LoadForPlay(Player& player, const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer) {
  PlayerStop(player);
  if (source == nullptr || buffer == nullptr) return nullptr;
  Song* song = CreateSong();
  if (song == nullptr || !LoadSong(*song, source, param, kind)) {
    DestroySong(song);
    player.soundBuffer = buffer;
    PlayerStop(player);
    return nullptr;
  }
  return song;
}

}  // namespace

HRESULT PlayerPrepareFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                          std::uint64_t startFrame, std::uint64_t endFrame) {
  Player& player = DefaultPlayer();
  Song* song = LoadForPlay(player, source, param, kind, buffer);
  if (song == nullptr) return E_INVALIDARG;
  return PlayerPrepareSong(player, song, buffer, startFrame, endFrame);
}

HRESULT PlayerPrepare(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer) {
  return PlayerPrepareFrom(source, param, kind, buffer, 0, kNoSongEnd);
}

HRESULT PlayerPlayFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                       std::uint64_t startFrame, std::uint64_t endFrame) {
  Player& player = DefaultPlayer();
  Song* song = LoadForPlay(player, source, param, kind, buffer);
  if (song == nullptr) return E_INVALIDARG;
  return PlayerPlaySong(player, song, buffer, startFrame, endFrame);
}

HRESULT PlayerPlay(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer) {
  return PlayerPlayFrom(source, param, kind, buffer, 0, kNoSongEnd);
}

HRESULT PlayerSeek(Player& player, std::uint64_t frame) {
  if (player.song == nullptr || player.soundBuffer == nullptr) return E_INVALIDARG;
  std::uint32_t status = 0;
  const bool paused = player.soundBuffer->GetStatus(&status) >= 0 && !(status & DSBSTATUS_PLAYING);
  StopStreamThread(player);
  player.soundBuffer->Stop();
  ClearPositionLog(player);
  if (!Prefill(player, frame)) return PlayerStop(player);
  return StartStream(player, frame, paused);
}

std::uint32_t PlayerGetPosition(Player& player) { return HeardEntry(player).songPosition; }
std::uint32_t PlayerGetPosition() { return PlayerGetPosition(DefaultPlayer()); }

std::uint32_t PlayerGetTime(Player& player) { return HeardEntry(player).elapsedMs; }
std::uint32_t PlayerGetTime() { return PlayerGetTime(DefaultPlayer()); }
