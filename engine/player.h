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
#include <cstddef>
#include <cstdint>
#include <memory>
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
// Keyframes a played song keeps, for the whole of its run: a seek back
// costs at most eight seconds of skipping in the first half hour, a 128th
// of the time played after it.
constexpr std::size_t kPlayerKeyframes = 256;

// A song to go on with where the one playing ends, with the frame where
// it ends in turn and the caller's tag for it.
struct QueuedSong {
  Song* song = nullptr;
  std::uint64_t endFrame = kNoSongEnd;
  std::uint32_t tag = 0;
};

// Where the audio of a ring block comes from: which song (by its tag) and
// which of its frames. A song that ends inside the block is followed by the
// next, from its frame `nextFrame`, at frame `switchAt` of the block
// (kBlockFrames: none; a song that begins with the block is the block's
// own, with no switch). Written by the streaming thread, read by any (a
// sequence count keeps reads whole).
struct BlockSourceSlot {
  std::atomic<std::uint32_t> sequence{0};                // odd while being written
  std::atomic<std::uint64_t> number{~std::uint64_t{0}};  // blocks rendered before it since the stream began
  std::atomic<std::uint64_t> songFrame{0};
  std::atomic<std::uint32_t> tag{0};
  std::atomic<std::uint32_t> switchAt{kBlockFrames};
  std::atomic<std::uint32_t> nextTag{0};
  std::atomic<std::uint64_t> nextFrame{0};
};

// What is being heard: the tag of the song and its frame.
struct HeardFrame {
  std::uint32_t tag;
  std::uint64_t songFrame;
};

constexpr int kRetiredSlots = 8;

// Each channel's part of the mix as a scope shows it: kScopePoints points
// of a block (-127..127 for -32,768..32,767) and the block's peak (0..32,767).
constexpr int kScopePoints = 128;
struct ChannelScopes {
  std::int8_t points[kMaxChannels][kScopePoints];
  std::uint16_t peaks[kMaxChannels];
};

// The scopes of every ring block, written by the streaming thread while
// someone watches (a sequence count per block keeps reads whole).
struct ScopeRing {
  struct Block {
    std::atomic<std::uint32_t> sequence{0};
    std::atomic<std::uint64_t> number{~std::uint64_t{0}};  // as in BlockSourceSlot
    std::atomic<std::int8_t> points[kMaxChannels][kScopePoints] = {};
    std::atomic<std::uint16_t> peaks[kMaxChannels] = {};
  };
  Block blocks[kRingBlocks];
  float channelMix[kMaxChannels * kBlockFrames] = {};
};

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
  // song, where playback is to end), unless a song is queued to follow.
  std::uint64_t songEndFrame = kNoSongEnd;
  // The tag of the song that renders: it changes on the streaming thread
  // where a queued song takes over.
  std::atomic<std::uint32_t> songTag{0};

  // Gapless lists: the song queued to follow the one playing, and songs
  // that have ended, for the caller's thread to free (the streaming thread
  // frees nothing).
  std::atomic<QueuedSong*> queued{nullptr};
  std::atomic<QueuedSong*> retired[kRetiredSlots] = {};
  // Where each ring block's audio comes from, and the device's count of
  // played frames when the stream began at frame `startOffset` of block 0.
  BlockSourceSlot blockSources[kRingBlocks];
  std::uint64_t blocksRendered = 0;
  std::uint64_t playedAtStart = 0;
  std::uint32_t startOffset = 0;
  std::int16_t staging[2 * kBlockFrames] = {};
  // Channels muted in every song the player renders, from the next block
  // on (bit c: channel c).
  std::atomic<std::uint32_t> mutedChannels{0};
  // Channel scopes, made from the first time they are wanted and kept for
  // the player's life.
  std::atomic<bool> scopesWanted{false};
  std::unique_ptr<ScopeRing> scopeRing;

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

// The position log entry of the block being heard, found from the frames
// the device has played: exact to the block, where PlayerGetPosition
// follows the streaming thread (which, on a buffer that notifies it, moves
// on ten blocks at a time). False when the device does not count played
// frames or that block is not in the ring.
bool PlayerHeardPosition(Player& player, PositionLogEntry& entry);

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
// here on (and destroys even when the start fails); `tag` names it in what
// PlayerHeard tells. `next` (if its song is not null, likewise owned by the
// player) is queued to follow before the ring is filled, so that it
// follows without a gap even a song shorter than the ring.
HRESULT PlayerPlaySong(Player& player, Song* song, SoundBuffer* buffer, std::uint64_t startFrame,
                       std::uint64_t endFrame, std::uint32_t tag = 0, QueuedSong next = {});
HRESULT PlayerPrepareSong(Player& player, Song* song, SoundBuffer* buffer, std::uint64_t startFrame,
                          std::uint64_t endFrame, std::uint32_t tag = 0, QueuedSong next = {});

// Starts streaming the song PlayerPrepareSong made ready: the buffer plays
// from the start frame on, or (paused) waits there until it is played.
// Where the stream runs already (held, or started paused), the buffer plays
// on from where it stands (unless `paused`). Returns what the buffer's Play
// said.
HRESULT PlayerStart(Player& player, bool paused);

// Queues a song (owned by the player from here on, from the frame it
// stands at: its start unless it was sought) to follow the one playing
// without a gap: that frame follows the last frame before the playing
// song's end frame, in the same block. It ends in turn at endFrame. A song queued before replaces the one queued. Taken
// only if it is queued before the playing song's end has been rendered
// (about two seconds before it is heard). E_INVALIDARG when nothing plays.
HRESULT PlayerQueueSong(Player& player, Song* song, std::uint64_t endFrame, std::uint32_t tag);
// As PlayerQueueSong, also after the playing song's end has been rendered
// (a song shorter than the ring ends in it with silence after): the ring
// is then rendered again from the block that holds that end, where the
// queued song follows without a gap, if that block is at least `lead`
// blocks after the one being heard.
HRESULT PlayerQueueSongInTime(Player& player, Song* song, std::uint64_t endFrame, std::uint32_t tag,
                              std::uint32_t lead = 8);
// True while a queued song waits to be taken.
bool PlayerHasQueuedSong(const Player& player);
// Frees the songs that have ended (done by every queue, seek and stop too).
void PlayerCollect(Player& player);

// Mutes the channels of `mask` (bit c: channel c) in the songs the player
// renders: exactly, as a song's own mute does. Heard two seconds later,
// unless PlayerRefresh follows.
void PlayerMuteChannels(Player& player, std::uint32_t mask);

// Renders the ring again from `lead` blocks after the block being heard on,
// without stopping the sound: what was set since (muted channels) is heard
// from there, instead of two seconds later. The blocks before go on as they
// were. Does nothing where the ring holds the end of a song from there on,
// or the device is not counting. Returns whether the ring was rendered
// again.
bool PlayerRefresh(Player& player, std::uint32_t lead = 8);

// Keeps (or stops keeping) each channel's part of the mix for scopes: from
// the next block rendered on, two seconds before it is heard.
void PlayerWatchChannels(Player& player, bool wanted);
// The channel scopes of the block being heard; false when they are not
// kept or not known for that block.
bool PlayerHeardScopes(Player& player, ChannelScopes& scopes);

// The song and frame being heard, from the frames the device has played;
// false when the buffer does not count them or that block is not known
// (nothing plays, or the device is ahead of the ring).
bool PlayerHeard(Player& player, HeardFrame& heard);

// Goes on from `frame` of the song that plays, without loading it again:
// the audio from there is what playing through gives at that frame (a frame
// past the song's end frame: its end, where a queued song begins). Keeps
// the buffer paused if it was stopped. E_INVALIDARG when nothing plays.
HRESULT PlayerSeek(Player& player, std::uint64_t frame);
// The same, starting the buffer unless `paused`: for a seek relative to
// the frame heard, the caller stops the buffer before it reads that frame,
// so that nothing more is heard between reading it and the seek.
HRESULT PlayerSeek(Player& player, std::uint64_t frame, bool paused);
// Stops the sound buffer (the device takes nothing more) and leaves the
// rest as it is; PlayerSeek or PlayerStart goes on from there.
void PlayerHold(Player& player);

// Renders ring block writeBlock into the sound buffer and moves writeBlock
// on. Negative when the buffer could not be locked, or nothing was prepared.
HRESULT RenderBlock(Player& player);
HRESULT RenderBlock();

PositionLogEntry ReadPositionLog(const Player& player, std::uint32_t index);
PositionLogEntry ReadPositionLog(std::uint32_t index);
