// A song: one loaded module with everything that plays it (sequencer,
// channels, voices, the block being mixed). All of the engine's mutable
// state lives in songs; two songs never share any of it, so songs can play
// side by side in one thread or in several (each used by one thread at a
// time).
//
// A song renders in blocks of 884 frames counted from its start: where the
// mixer's runs end is part of the sound, so every way through the song
// (playing, skipping, seeking) keeps to that grid, and a block is handed out
// in as many pieces as callers ask for.
#pragma once

#include <cstdint>
#include <vector>

#include "channel.h"
#include "loader.h"
#include "mixer.h"
#include "module.h"
#include "simd.h"
#include "sound_buffer.h"

// A row that starts inside a block: the frame of the block it starts at
// and the position it plays.
struct RowStart {
  std::uint16_t frame;
  std::uint16_t order;
  std::uint16_t row;
};

// Of rows that start at one frame only the last is kept, so a block holds
// at most this many row starts.
constexpr std::uint32_t kMaxRowStarts = kBlockFrames;

constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 192000;

// The whole playing state of a song where a block begins, to go back to
// without starting again from the song's start.
struct SongKeyframe {
  std::uint64_t frame;
  ModuleState module;
  Channel channels[kMaxChannels];
  Voice voices[kVoiceCount];
  std::int8_t emptyFinetune;
};

// Where the song stood when its current block began to be mixed, kept
// (once asked for) so that the block can be mixed again when its channels'
// mutes change.
struct SongBlockStart {
  SongKeyframe state;
  std::int32_t jumpOrder;
  std::int32_t jumpRow;
  // Of a module whose effects write into its samples (E5): every sample's
  // finetune, instrument by instrument.
  std::vector<std::int8_t> finetunes;
  // The jumps asked for in the block of the song's lateJump before it that
  // were taken at a row start before the next one was asked for (frame:
  // where each was asked for): mixing the block again takes each of them
  // again. Each was taken at a row start of its own, so the block holds no
  // more of them than row starts.
  std::uint32_t takenJumpCount;
  RowStart takenJumps[kMaxRowStarts];
};

// A jump asked for while a block was being handed out: mixing that block
// again (for a mute, or for the jump itself) takes it from the frame where
// it was asked for on, not from the block's start.
struct LateJump {
  std::uint64_t blockFrame;  // the block's first frame; kNoLateJump: none
  std::uint32_t frame;       // of the block
  std::int32_t order;
  std::int32_t row;
};
constexpr std::uint64_t kNoLateJump = ~std::uint64_t{0};

// A song that keeps keyframes takes one every this many blocks (8 s) at
// first; once their room is full, every other one goes and they are taken
// half as often, so that they cover the whole of a long run.
constexpr std::uint64_t kKeyframeBlocks = 400;

struct Song {
  ModuleState module;
  Channel channels[kMaxChannels];
  Voice voices[kVoiceCount];
  // Stands in for missing samples; row processing may write a finetune into
  // it (effect E5), so each song has its own.
  Sample emptySample;
  std::int16_t emptySampleFrames[4];
  ModuleMemory memory;
  LoadError loadError;
  // The names of the module header, as the file has them up to the first
  // zero byte.
  char title[21];
  char tracker[21];
  std::uint16_t version;  // the format version, as the file stores it

  MixPath mixPath;
  std::uint32_t mutedChannels;  // bit c set: channel c adds nothing to the mix
  bool spansBuilt;
  // A jump asked for while playing, taken at the next row tick (-1: none).
  std::int32_t jumpOrder;
  std::int32_t jumpRow;
  LateJump lateJump;

  // The block last rendered: its mix (left half, then right half), the
  // frames of the song rendered up to its end, and how many of its frames
  // have been handed out (kBlockFrames: all, or no block yet).
  float mix[2 * kBlockFrames];
  bool blockMixed;  // false when blocks were skipped since the mix was made
  std::uint64_t renderedFrames;
  std::uint32_t blockOffset;
  // The position playing at the block's first frame, and the rows that
  // start in it.
  std::uint16_t blockOrder;
  std::uint16_t blockRow;
  std::uint32_t rowStartCount;
  RowStart rowStarts[kMaxRowStarts];

  // Keyframes of this song's one history from its start (sorted by frame;
  // taken only within the room made for them, so that rendering never
  // allocates). A module whose effects write into its samples (E5) keeps
  // none, and a jump ends the history they belong to.
  std::vector<SongKeyframe> keyframes;
  std::uint64_t keyframeSpacing;  // frames from one keyframe to the next
  bool writesSamples;
  bool jumped;

  // Where each channel's own part of the block's mix goes, when someone
  // watches it (kMaxChannels runs of kBlockFrames floats, left + right;
  // null: not kept). Mixing the channels apart takes a second pass over
  // each voice, on copies, so that the mix itself stays as it is.
  float* channelMix;
  std::uint32_t channelMixAt;  // the frame of the block the run being mixed begins at
  float channelScratch[2 * kBlockFrames];

  // Where the current block began (null: not kept), see KeepBlockStarts.
  SongBlockStart* blockStart;
};

// A song with no module, at 44,100 Hz, or null when memory is short.
Song* CreateSong();
// Frees the module and the song. Null is fine.
void DestroySong(Song* song);

// Loads a module into the song (freeing what it held) from a resource
// (kind 0 or negative: source is a name or id, param the resource table or
// null), a memory block (kind 1: param is its size; the block is not used
// after the call) or a file (kind 2 or more: source is the path), and makes
// it ready to play from its start. False on failure, with song.loadError
// set and no module loaded.
bool LoadSong(Song& song, const void* source, std::uintptr_t param, std::int32_t kind);

// Back to the song's start: voices, channels, sequencer, and the finetunes
// the module was loaded with.
void RestartSong(Song& song);
// Output frames per second (kMinRate..kMaxRate); restarts the song.
void SetSongRate(Song& song, std::uint32_t rate);

// The frame of the song that is handed out next.
std::uint64_t SongFrame(const Song& song);
// The order position and row that frame plays.
void SongPosition(const Song& song, std::int32_t& order, std::int32_t& row);

// Takes a keyframe where the song stands, if it is due there and there is
// room for it; the block renderer calls it at every block's start.
void TakeKeyframe(Song& song);
// Notes where the song stands as the start of the block about to be mixed
// (song.blockStart must be kept); the block renderer calls it.
void SaveBlockStart(Song& song);

// Renders the next block into song.mix (blockOffset 0).
void RenderSongBlock(Song& song);
// Moves the song on by `blocks` blocks exactly as rendering them would
// (sequencer, replayer, every voice's position, direction and gain ramp),
// without mixing. No block is left to hand out.
void SkipSongBlocks(Song& song, std::uint64_t blocks);
// Makes frame `block` x 884 the next to render, with no block left to hand
// out: on from where the song stands, or from its start when that lies
// behind.
void SeekSongToBlock(Song& song, std::uint64_t block);
// Makes `frame` the next to hand out: the block that holds it is rendered.
void SeekSong(Song& song, std::uint64_t frame);

// Hands out up to `frames` frames from the current block on, as 16-bit
// stereo or as the float mix / 32768; renders the next block where the
// current one is used up. Returns the frames written.
std::uint32_t ReadSongFrames(Song& song, std::int16_t* stereo, std::uint32_t frames);
std::uint32_t ReadSongFloatFrames(Song& song, float* stereo, std::uint32_t frames);

// Asks the song to go on from order/row at its next row start, as a
// position jump would take it there. Where a row starts in the part of the
// current block not yet handed out, the rest of the block is mixed again
// (quickly where block starts are kept, see KeepBlockStarts; else by a seek
// to the block). A song that keeps block starts has the block mixed again
// also where it has none for it yet: off its course it could no longer be
// sought back to the block for a later RemixSongBlock.
void JumpSong(Song& song, std::int32_t order, std::int32_t row);

// Keeps, from the next block mixed on, where each block began (11 KB
// copied a block), so that RemixSongBlock is quick. False when memory is
// short. Allocates once: call it where allocation is fine.
bool KeepBlockStarts(Song& song);
// Mixes the frames of the current block not yet handed out again, as the
// song now stands (its muted channels): from where the block began where
// that is kept, else by a seek to the block. Of a block handed out in full
// nothing is mixed; a seek back into it mixes it again.
void RemixSongBlock(Song& song);

// Makes room for `count` keyframes (taken while the song renders or skips
// from here on), so that a seek behind the song's frame goes on from the
// nearest one before it instead of the song's start. Allocates: call it
// where allocation is fine, not while a streaming thread renders the song.
void KeepKeyframes(Song& song, std::size_t count);
