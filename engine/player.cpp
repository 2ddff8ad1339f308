#include "player.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

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
  for (BlockSourceSlot& slot : player.blockSources) slot.number.store(~std::uint64_t{0}, std::memory_order_release);
  // Block numbers start again from 0: scopes kept before (of another song,
  // or of the song elsewhere) must not pass for those of the new blocks
  // when the new ones are rendered without scopes.
  if (player.scopeRing != nullptr)
    for (ScopeRing::Block& block : player.scopeRing->blocks)
      block.number.store(~std::uint64_t{0}, std::memory_order_release);
  player.blocksRendered = 0;
}

void WriteBlockSource(BlockSourceSlot& slot, std::uint64_t number, std::uint32_t tag, std::uint64_t songFrame,
                      std::uint32_t switchAt, std::uint32_t nextTag, std::uint64_t nextFrame) {
  const std::uint32_t sequence = slot.sequence.load(std::memory_order_relaxed);
  slot.sequence.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  slot.number.store(number, std::memory_order_relaxed);
  slot.tag.store(tag, std::memory_order_relaxed);
  slot.songFrame.store(songFrame, std::memory_order_relaxed);
  slot.switchAt.store(switchAt, std::memory_order_relaxed);
  slot.nextTag.store(nextTag, std::memory_order_relaxed);
  slot.nextFrame.store(nextFrame, std::memory_order_relaxed);
  slot.sequence.store(sequence + 2, std::memory_order_release);
}

// The song queued to follow, with a free slot for the song that ends to be
// handed back in; null when none is queued or no slot is free (the caller
// has not freed the songs that ended: the switch waits for it).
QueuedSong* TakeQueued(Player& player, std::atomic<QueuedSong*>*& slot) {
  for (auto& retired : player.retired) {
    if (retired.load(std::memory_order_acquire) != nullptr) continue;
    slot = &retired;
    return player.queued.exchange(nullptr, std::memory_order_acq_rel);
  }
  return nullptr;
}

// Renders the ring from writeBlock 0 on, with the song at the start of the
// block that holds startFrame; false when a block could not be written. A
// lock that succeeds but hands out no whole sample would never let the ring
// fill; it fails the prefill like a failed lock.
bool Prefill(Player& player, std::uint64_t startFrame) {
  // Past the song's end nothing of it is left: it goes on from its end,
  // where a queued song begins.
  if (startFrame > player.songEndFrame) startFrame = player.songEndFrame;
  SeekSongToBlock(*player.song, startFrame / kBlockFrames);
  player.writeBlock = 0;
  // The buffer is stopped: its count of played frames stands still until
  // it plays from the start frame.
  player.startOffset = static_cast<std::uint32_t>(startFrame % kBlockFrames);
  player.playedAtStart = 0;
  player.soundBuffer->GetPlayedFrames(&player.playedAtStart);
  do {
    const std::uint32_t before = player.writeBlock;
    if (RenderBlock(player) < 0 || player.writeBlock == before) return false;
  } while (player.writeBlock != 0);
  return true;
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

namespace {

// The channels' parts of the block just rendered, as the scopes show them.
void KeepScopes(Player& player, std::uint32_t b, std::uint64_t number) {
  ScopeRing& ring = *player.scopeRing;
  ScopeRing::Block& block = ring.blocks[b];
  const std::uint32_t sequence = block.sequence.load(std::memory_order_relaxed);
  block.sequence.store(sequence + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  block.number.store(number, std::memory_order_relaxed);
  for (int c = 0; c < kMaxChannels; ++c) {
    const float* part = ring.channelMix + std::size_t(c) * kBlockFrames;
    float peak = 0;
    for (std::uint32_t f = 0; f < kBlockFrames; ++f) peak = std::max(peak, std::fabs(part[f] * 0.5f));
    for (int p = 0; p < kScopePoints; ++p) {
      const float v = part[p * kBlockFrames / kScopePoints] * 0.5f * (127.0f / 32768.0f);
      block.points[c][p].store(static_cast<std::int8_t>(std::clamp(v, -127.0f, 127.0f)), std::memory_order_relaxed);
    }
    block.peaks[c].store(static_cast<std::uint16_t>(std::min(peak, 32767.0f)), std::memory_order_relaxed);
  }
  block.sequence.store(sequence + 2, std::memory_order_release);
}

}  // namespace

// Fills the staging block from the song that plays, up to its end frame;
// where it ends, a queued song goes on in the same block, else silence.
// The log entry holds the position and play time the song has reached.
HRESULT RenderBlock(Player& player) {
  if (player.song == nullptr || player.soundBuffer == nullptr) return E_INVALIDARG;  // nothing prepared
  const std::uint32_t b = player.writeBlock;
  const bool scopes = player.scopesWanted.load(std::memory_order_acquire);
  const std::uint32_t muted = player.mutedChannels.load(std::memory_order_acquire);
  std::uint32_t firstTag = player.songTag.load(std::memory_order_relaxed);
  std::uint64_t firstFrame = SongFrame(*player.song);
  std::uint32_t switchAt = kBlockFrames, nextTag = 0;
  std::uint64_t nextFrame = 0;
  std::uint32_t filled = 0;
  while (filled < kBlockFrames) {
    Song& song = *player.song;
    const std::uint64_t at = SongFrame(song);
    if (at >= player.songEndFrame) {
      std::atomic<QueuedSong*>* slot = nullptr;
      QueuedSong* next = switchAt == kBlockFrames ? TakeQueued(player, slot) : nullptr;
      if (next == nullptr) {
        std::memset(player.staging + 2 * filled, 0, sizeof(std::int16_t) * 2 * (kBlockFrames - filled));
        break;
      }
      // The song that ended goes back to the caller in the queued record.
      switchAt = filled;
      nextTag = next->tag;
      std::swap(player.song, next->song);
      std::swap(player.songEndFrame, next->endFrame);
      next->tag = player.songTag.exchange(next->tag, std::memory_order_relaxed);
      slot->store(next, std::memory_order_release);
      nextFrame = SongFrame(*player.song);  // its start, or where it was sought
      // A song sought to its start frame before it was queued holds that
      // frame's block mixed with the channels muted then (none of the
      // player's): it is mixed again with those muted now.
      if (player.song->mutedChannels != muted) {
        player.song->mutedChannels = muted;
        RemixSongBlock(*player.song);
      }
      if (filled == 0) {
        // Nothing of the song that ended is in the block: it is the new
        // song's alone, which the ring can be rendered again from, and a
        // song queued after it may still follow in it.
        firstTag = nextTag;
        firstFrame = nextFrame;
        switchAt = kBlockFrames;
        nextTag = 0;
        nextFrame = 0;
      }
      continue;
    }
    const std::uint64_t left = player.songEndFrame - at;
    const std::uint32_t n = left < kBlockFrames - filled ? static_cast<std::uint32_t>(left) : kBlockFrames - filled;
    song.channelMix = scopes ? player.scopeRing->channelMix : nullptr;
    song.mutedChannels = muted;
    ReadSongFrames(song, player.staging + 2 * filled, n);
    filled += n;
  }
  const ModuleState& m = player.song->module;
  const std::uint64_t songPosition = (m.orderPosition & 255) | ((m.row & 255) << 8);
  player.positionLog[b].store(songPosition | (std::uint64_t{m.elapsedMs} << 16), std::memory_order_release);

  void* region = nullptr;
  std::uint32_t length = 0;
  const HRESULT locked = player.soundBuffer->Lock(b * kBlockBytes, kBlockBytes, &region, &length, nullptr, nullptr, 0);
  if (locked < 0) return locked;
  if (length > kBlockBytes) length = kBlockBytes;
  if (length >= 2) {
    std::memcpy(region, player.staging, length & ~std::uint32_t{1});
    if (scopes) KeepScopes(player, b, player.blocksRendered);
    WriteBlockSource(player.blockSources[b], player.blocksRendered++, firstTag, firstFrame, switchAt, nextTag,
                     nextFrame);
    player.writeBlock = (b + 1) % kRingBlocks;
  }
  return player.soundBuffer->Unlock(region, length, nullptr, 0);
}

HRESULT RenderBlock() { return RenderBlock(DefaultPlayer()); }

// The stream ends before the ring, the buffer or the song are touched.
HRESULT PlayerStop(Player& player) {
  StopStreamThread(player);
  PlayerCollect(player);
  if (QueuedSong* queued = player.queued.exchange(nullptr)) {
    DestroySong(queued->song);
    delete queued;
  }
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
                          std::uint64_t endFrame, std::uint32_t tag, QueuedSong next) {
  PlayerStop(player);
  if (song == nullptr || buffer == nullptr) {
    DestroySong(song);
    DestroySong(next.song);
    return E_INVALIDARG;
  }
  player.soundBuffer = buffer;
  player.song = song;
  KeepKeyframes(*song, kPlayerKeyframes);
  if (next.song != nullptr && PlayerQueueSong(player, next.song, next.endFrame, next.tag) < 0)
    return PlayerStop(player);
  // Rounding to nearest, as the mixer's arithmetic needs it; the streaming
  // thread starts with this environment too.
  std::fesetenv(FE_DFL_ENV);
  player.songEndFrame = endFrame;
  player.songTag.store(tag, std::memory_order_relaxed);
  // The mixer's runs end at block boundaries, and where they end is part of
  // the sound: the ring keeps the blocks of a play from the start, and the
  // block that holds the start frame is its first.
  if (!Prefill(player, startFrame)) return PlayerStop(player);
  return S_OK;
}

HRESULT PlayerPlaySong(Player& player, Song* song, SoundBuffer* buffer, std::uint64_t startFrame,
                       std::uint64_t endFrame, std::uint32_t tag, QueuedSong next) {
  const HRESULT prepared = PlayerPrepareSong(player, song, buffer, startFrame, endFrame, tag, next);
  if (prepared < 0) return prepared;
  return PlayerStart(player, false);
}

// Heard from the start frame on, inside the ring's first block; a paused
// stream waits there for the buffer to play.
HRESULT PlayerStart(Player& player, bool paused) {
  if (player.soundBuffer == nullptr) return E_INVALIDARG;
  // Streaming already (held, or started paused): the buffer goes on from
  // where it stands; a second thread would find the ring taken.
  if (player.thread.joinable()) return paused ? S_OK : player.soundBuffer->Play(0, 0, DSBPLAY_LOOPING);
  if (player.song == nullptr) return E_INVALIDARG;
  player.stopRequest.store(0, std::memory_order_release);
  player.soundBuffer->SetCurrentPosition(player.startOffset * kBytesPerFrame);
  const HRESULT played = paused ? S_OK : player.soundBuffer->Play(0, 0, DSBPLAY_LOOPING);
  // Without a thread to stream, the buffer would only loop what it holds:
  // the play fails as one that cannot start.
  if (!StartStreamThread(player)) {
    PlayerStop(player);
    return E_OUTOFMEMORY;
  }
  return played;
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
  if (player.soundBuffer == nullptr) return E_INVALIDARG;
  std::uint32_t status = 0;
  const bool paused = player.soundBuffer->GetStatus(&status) >= 0 && !(status & DSBSTATUS_PLAYING);
  return PlayerSeek(player, frame, paused);
}

void PlayerHold(Player& player) {
  if (player.soundBuffer != nullptr) player.soundBuffer->Stop();
}

HRESULT PlayerSeek(Player& player, std::uint64_t frame, bool paused) {
  if (player.soundBuffer == nullptr) return E_INVALIDARG;
  StopStreamThread(player);
  if (player.song == nullptr) return E_INVALIDARG;
  player.soundBuffer->Stop();
  PlayerCollect(player);
  ClearPositionLog(player);
  if (!Prefill(player, frame)) return PlayerStop(player);
  return PlayerStart(player, paused);
}

HRESULT PlayerQueueSong(Player& player, Song* song, std::uint64_t endFrame, std::uint32_t tag) {
  if (song == nullptr || player.soundBuffer == nullptr) {
    DestroySong(song);
    return E_INVALIDARG;
  }
  PlayerCollect(player);
  KeepKeyframes(*song, kPlayerKeyframes);
  auto* queued = new (std::nothrow) QueuedSong{song, endFrame, tag};
  if (queued == nullptr) {
    DestroySong(song);
    return E_OUTOFMEMORY;
  }
  if (QueuedSong* replaced = player.queued.exchange(queued, std::memory_order_acq_rel)) {
    DestroySong(replaced->song);
    delete replaced;
  }
  return S_OK;
}

bool PlayerHasQueuedSong(const Player& player) { return player.queued.load(std::memory_order_acquire) != nullptr; }

void PlayerCollect(Player& player) {
  for (auto& slot : player.retired) {
    if (QueuedSong* done = slot.exchange(nullptr, std::memory_order_acq_rel)) {
      DestroySong(done->song);
      delete done;
    }
  }
}

bool PlayerHeard(Player& player, HeardFrame& heard) {
  std::uint64_t played = 0;
  if (player.soundBuffer == nullptr || player.soundBuffer->GetPlayedFrames(&played) < 0) return false;
  const std::uint64_t frame = played - player.playedAtStart + player.startOffset;
  const std::uint64_t number = frame / kBlockFrames;
  const auto offset = static_cast<std::uint32_t>(frame % kBlockFrames);
  const BlockSourceSlot& slot = player.blockSources[number % kRingBlocks];
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::uint32_t before = slot.sequence.load(std::memory_order_acquire);
    const std::uint64_t slotNumber = slot.number.load(std::memory_order_relaxed);
    const std::uint32_t tag = slot.tag.load(std::memory_order_relaxed);
    const std::uint64_t songFrame = slot.songFrame.load(std::memory_order_relaxed);
    const std::uint32_t switchAt = slot.switchAt.load(std::memory_order_relaxed);
    const std::uint32_t nextTag = slot.nextTag.load(std::memory_order_relaxed);
    const std::uint64_t nextFrame = slot.nextFrame.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1) != 0 || slot.sequence.load(std::memory_order_relaxed) != before) continue;
    if (slotNumber != number) return false;
    heard =
        offset < switchAt ? HeardFrame{tag, songFrame + offset} : HeardFrame{nextTag, nextFrame + offset - switchAt};
    return true;
  }
  return false;
}

void PlayerMuteChannels(Player& player, std::uint32_t mask) {
  player.mutedChannels.store(mask, std::memory_order_release);
}

namespace {

// The block being heard, from the frames the device has played.
std::uint64_t HeardBlock(const Player& player, std::uint64_t played) {
  return (played - player.playedAtStart + player.startOffset) / kBlockFrames;
}

// Stops the streaming thread for a change of the ring; returns whether it
// ran, for ResumeStream.
bool HoldStream(Player& player) {
  const bool streaming = player.threadRunning.load(std::memory_order_acquire) != 0;
  StopStreamThread(player);
  return streaming;
}

void ResumeStream(Player& player, bool streaming) {
  if (!streaming) return;
  player.stopRequest.store(0, std::memory_order_release);
  StartStreamThread(player);
}

// Renders the ring again from block `from` (which starts at `songFrame` of
// the playing song) up to block `upTo`, where it had been rendered to.
// SeekSong leaves the block that holds songFrame mixed, `blockOffset`
// frames in, and the renders go on from exactly there: it is mixed as they
// would mix it.
void RenderRingAgain(Player& player, std::uint64_t from, std::uint64_t upTo, std::uint64_t songFrame) {
  Song& song = *player.song;
  song.mutedChannels = player.mutedChannels.load(std::memory_order_acquire);
  song.channelMix = player.scopesWanted.load(std::memory_order_acquire) ? player.scopeRing->channelMix : nullptr;
  // The song may hold the block of songFrame mixed already, from before
  // the change: it is mixed again.
  song.blockMixed = false;
  SeekSong(song, songFrame);
  player.writeBlock = static_cast<std::uint32_t>(from % kRingBlocks);
  player.blocksRendered = from;
  while (player.blocksRendered < upTo) {
    const std::uint64_t before = player.blocksRendered;
    if (RenderBlock(player) < 0 || player.blocksRendered == before) break;
  }
}

}  // namespace

// While the stream runs, the streaming thread changes player.song (where a
// queued song takes over): the caller looks at it only once the thread is
// held, and before that at the buffer, which a player holds exactly while
// it holds a song.
bool PlayerRefresh(Player& player, std::uint32_t lead) {
  std::uint64_t played = 0;
  if (player.soundBuffer == nullptr || player.soundBuffer->GetPlayedFrames(&played) < 0) return false;
  const bool streaming = HoldStream(player);
  if (player.song == nullptr) {
    ResumeStream(player, streaming);
    return false;
  }
  // The first block to render again, and how far the ring was rendered.
  const std::uint64_t from = HeardBlock(player, played) + lead;
  const std::uint64_t upTo = player.blocksRendered;
  // Only blocks of the song that renders now, with no song ending in them.
  const std::uint32_t tag = player.songTag.load(std::memory_order_relaxed);
  std::uint64_t songFrame = 0;
  for (std::uint64_t n = from; n < upTo; ++n) {
    const BlockSourceSlot& slot = player.blockSources[n % kRingBlocks];
    if (slot.number.load(std::memory_order_relaxed) != n || slot.tag.load(std::memory_order_relaxed) != tag ||
        slot.switchAt.load(std::memory_order_relaxed) != kBlockFrames) {
      ResumeStream(player, streaming);
      return false;
    }
    if (n == from) songFrame = slot.songFrame.load(std::memory_order_relaxed);
  }
  const bool again = from < upTo && SongFrame(*player.song) >= songFrame;
  if (again) RenderRingAgain(player, from, upTo, songFrame);
  ResumeStream(player, streaming);
  return again;
}

HRESULT PlayerQueueSongInTime(Player& player, Song* song, std::uint64_t endFrame, std::uint32_t tag,
                              std::uint32_t lead) {
  std::uint64_t played = 0;
  if (player.soundBuffer == nullptr || player.soundBuffer->GetPlayedFrames(&played) < 0)
    return PlayerQueueSong(player, song, endFrame, tag);
  // Queued with the streaming thread held, so that it cannot take the song
  // after the silence before the ring is rendered again.
  const bool streaming = HoldStream(player);
  const HRESULT queued = PlayerQueueSong(player, song, endFrame, tag);
  const std::uint32_t playingTag = player.songTag.load(std::memory_order_relaxed);
  const std::uint64_t upTo = player.blocksRendered;
  const std::uint64_t heard = HeardBlock(player, played);
  if (queued >= 0 && player.songEndFrame != kNoSongEnd && SongFrame(*player.song) >= player.songEndFrame) {
    // The first block that holds the playing song's end or the silence
    // after it: the blocks from there on are that song's alone.
    std::uint64_t from = upTo;
    for (std::uint64_t n = upTo; n > heard + lead; --n) {
      const BlockSourceSlot& slot = player.blockSources[(n - 1) % kRingBlocks];
      if (slot.number.load(std::memory_order_relaxed) != n - 1 ||
          slot.tag.load(std::memory_order_relaxed) != playingTag ||
          slot.switchAt.load(std::memory_order_relaxed) != kBlockFrames ||
          slot.songFrame.load(std::memory_order_relaxed) + kBlockFrames <= player.songEndFrame)
        break;
      from = n - 1;
    }
    if (from < upTo)
      RenderRingAgain(player, from, upTo,
                      player.blockSources[from % kRingBlocks].songFrame.load(std::memory_order_relaxed));
  }
  ResumeStream(player, streaming);
  return queued;
}

void PlayerWatchChannels(Player& player, bool wanted) {
  if (wanted && player.scopeRing == nullptr) {
    // Without room for the ring the scopes stay off.
    player.scopeRing.reset(new (std::nothrow) ScopeRing());
    if (player.scopeRing == nullptr) return;
  }
  player.scopesWanted.store(wanted, std::memory_order_release);
}

bool PlayerHeardScopes(Player& player, ChannelScopes& scopes) {
  std::uint64_t played = 0;
  if (player.scopeRing == nullptr || player.soundBuffer == nullptr || player.soundBuffer->GetPlayedFrames(&played) < 0)
    return false;
  const std::uint64_t number = HeardBlock(player, played);
  const ScopeRing::Block& block = player.scopeRing->blocks[number % kRingBlocks];
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::uint32_t before = block.sequence.load(std::memory_order_acquire);
    if (block.number.load(std::memory_order_relaxed) != number) return false;
    for (int c = 0; c < kMaxChannels; ++c) {
      for (int p = 0; p < kScopePoints; ++p) scopes.points[c][p] = block.points[c][p].load(std::memory_order_relaxed);
      scopes.peaks[c] = block.peaks[c].load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((before & 1) == 0 && block.sequence.load(std::memory_order_relaxed) == before) return true;
  }
  return false;
}

bool PlayerHeardPosition(Player& player, PositionLogEntry& entry) {
  if (player.soundBuffer == nullptr) return false;
  const auto heardBlock = [&](std::uint64_t& number) {
    std::uint64_t played = 0;
    if (player.soundBuffer->GetPlayedFrames(&played) < 0) return false;
    number = HeardBlock(player, played);
    return true;
  };
  std::uint64_t number = 0;
  if (!heardBlock(number)) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const BlockSourceSlot& slot = player.blockSources[number % kRingBlocks];
    if (slot.number.load(std::memory_order_acquire) != number) return false;
    entry = ReadPositionLog(player, static_cast<std::uint32_t>(number % kRingBlocks));
    // The streaming thread writes a ring block again only once the device
    // has left it: while the device is still in that block, the entry read
    // is the block's own.
    std::uint64_t again = 0;
    if (!heardBlock(again)) return false;
    if (again == number) return true;
    number = again;
  }
  return false;
}

std::uint32_t PlayerGetPosition(Player& player) { return HeardEntry(player).songPosition; }
std::uint32_t PlayerGetPosition() { return PlayerGetPosition(DefaultPlayer()); }

std::uint32_t PlayerGetTime(Player& player) { return HeardEntry(player).elapsedMs; }
std::uint32_t PlayerGetTime() { return PlayerGetTime(DefaultPlayer()); }
