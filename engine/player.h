// Zevora's playback engine: play an XM module from a resource, a memory
// block or a file into a looping sound buffer, stop it, and ask what is
// being heard.
//
// A Player streams one song into a sound buffer: the ring of 100 blocks and
// its position log, the streaming thread, and the two-counter stop
// handshake. The Player* functions without a player drive the program's one
// default player.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "song.h"
#include "sound_buffer.h"
#include "sources.h"

// One entry per ring block: the song position and play time reached at the
// end of that block. Each entry is one 64-bit word, written and read whole,
// so a reader never sees half of an update.
struct PositionLogEntry {
  std::uint16_t songPosition;  // order position in the low byte, row in the high byte
  std::uint32_t elapsedMs;
};

constexpr std::uint64_t kNoSongEnd = ~std::uint64_t{0};

struct Player {
  Player() = default;
  ~Player();  // stops the stream
  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  Song* song = nullptr;  // the song streaming, owned by the player
  SoundBuffer* soundBuffer = nullptr;
  std::uint32_t writeBlock = 0;  // ring index of the next block to render
  std::atomic<std::uint64_t> positionLog[kRingBlocks] = {};
  std::atomic<std::uint32_t> positionLogIndex{0};  // the entry of the block being heard
  // The song frame from which on every block is silent (the end of the
  // song, where playback is to end).
  std::uint64_t songEndFrame = kNoSongEnd;

  // The streaming thread and its handshake.
  std::atomic<std::int32_t> threadRunning{0};
  std::atomic<std::uint32_t> stopRequest{0};
  std::thread thread;
  // Set by the sound buffer whenever its cursor enters another tenth of the
  // ring, when the buffer can notify.
  NotifyEvent blockTaken;
  bool notified = false;
};

// The player the Player* functions without a player drive.
Player& DefaultPlayer();

// Stops whatever plays, loads the module and starts streaming it into
// buffer. kind: 0 (or negative) resource, 1 memory, 2 (or more) file.
// source: resource name or id / data pointer / path; param: resource table
// (null: the program's own) / data size / unused.
// Non-negative when streaming started; the buffer's code when it would not
// play; E_INVALIDARG when there was nothing to play.
HRESULT PlayerPlay(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer);

// Waits until streaming has ended, rewinds the buffer, frees the song.
// Always E_INVALIDARG. Idempotent.
HRESULT PlayerStop();
HRESULT PlayerStop(Player& player);

// Song position of the block being heard: order position in the low byte,
// row in the high byte.
std::uint32_t PlayerGetPosition();
std::uint32_t PlayerGetPosition(Player& player);

// Play time in milliseconds of the block being heard.
std::uint32_t PlayerGetTime();
std::uint32_t PlayerGetTime(Player& player);

// Loads the module and renders the whole ring into buffer, as PlayerPlay
// does, but starts neither the buffer nor the streaming thread. Offline
// rendering continues with RenderBlock.
HRESULT PlayerPrepare(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer);

// As PlayerPlay and PlayerPrepare, with the song moved on to startFrame
// first (exactly as playing through would) and silence from endFrame on
// (frames of the song, counted from its start). The ring begins with the
// block that holds startFrame (blocks stay where a play from the start
// has them), and PlayerPlayFrom starts the buffer at startFrame inside it.
HRESULT PlayerPlayFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                       std::uint64_t startFrame, std::uint64_t endFrame);
HRESULT PlayerPrepareFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                          std::uint64_t startFrame, std::uint64_t endFrame);

// The same with a song that is loaded already, which the player owns from
// here on (and destroys even when the start fails).
HRESULT PlayerPlaySong(Player& player, Song* song, SoundBuffer* buffer, std::uint64_t startFrame,
                       std::uint64_t endFrame);
HRESULT PlayerPrepareSong(Player& player, Song* song, SoundBuffer* buffer, std::uint64_t startFrame,
                          std::uint64_t endFrame);

// Goes on from `frame` of the song that plays, without loading it again:
// the audio from there is what playing through gives at that frame. Keeps
// the buffer paused if it was stopped. E_INVALIDARG when nothing plays.
HRESULT PlayerSeek(Player& player, std::uint64_t frame);

// Renders ring block writeBlock into the sound buffer and moves writeBlock
// on. Negative when the buffer could not be locked.
HRESULT RenderBlock(Player& player);
HRESULT RenderBlock();

PositionLogEntry ReadPositionLog(const Player& player, std::uint32_t index);
PositionLogEntry ReadPositionLog(std::uint32_t index);
