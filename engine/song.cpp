#include "song.h"

#include <cstring>
#include <new>

#include "loader.h"
#include "renderer.h"
#include "replayer.h"
#include "sources.h"

namespace {

// Whether any cell holds effect E5, which writes a finetune into a sample:
// the samples then belong to the song's state.
bool WritesSamples(const ModuleState& m) {
  for (std::uint32_t p = 0; p < m.patternCount; ++p) {
    const Pattern& pattern = m.patternTable[p];
    if (pattern.cells == nullptr) continue;
    const std::size_t cells = std::size_t{pattern.rowCount} * m.channelCount;
    for (std::size_t i = 0; i < cells; ++i)
      if (pattern.cells[i].effect == 0xE && (pattern.cells[i].parameter >> 4) == 0x5) return true;
  }
  return false;
}

// Calls visit(sample) for every sample of the module, instrument by
// instrument.
template <typename Visit>
void ForEachSample(const ModuleState& m, Visit visit) {
  for (std::uint32_t i = 0; m.instruments != nullptr && i < m.instrumentCount; ++i) {
    const Instrument& instrument = m.instruments[i];
    for (std::uint32_t k = 0; k < instrument.sampleCount && k < kMaxSamplesPerInstrument; ++k)
      visit(*instrument.samples[k]);
  }
}

void SaveState(const Song& song, SongKeyframe& keyframe) {
  keyframe.frame = song.renderedFrames;
  keyframe.module = song.module;
  std::memcpy(keyframe.channels, song.channels, sizeof song.channels);
  std::memcpy(keyframe.voices, song.voices, sizeof song.voices);
  keyframe.emptyFinetune = song.emptySample.finetune;
}

void RestoreKeyframe(Song& song, const SongKeyframe& keyframe) {
  song.module = keyframe.module;
  std::memcpy(song.channels, keyframe.channels, sizeof song.channels);
  std::memcpy(song.voices, keyframe.voices, sizeof song.voices);
  song.emptySample.finetune = keyframe.emptyFinetune;
  song.jumpOrder = song.jumpRow = -1;
  song.renderedFrames = keyframe.frame;
  song.blockOffset = kBlockFrames;
  song.blockMixed = false;
  song.rowStartCount = 0;
}

}  // namespace

Song* CreateSong() {
  Song* song = new (std::nothrow) Song();  // all zero
  if (song == nullptr) return nullptr;
  // The empty sample's data pointer lands on a zero entry with readable
  // zeros on both sides, like a loaded sample's guard entries.
  song->emptySample.data = song->emptySampleFrames + 1;
  song->module.rate = kSampleRate;
  song->mixPath = DefaultMixPath();
  RestartSong(*song);
  return song;
}

void DestroySong(Song* song) {
  if (song == nullptr) return;
  FreeModule(*song);
  delete song->blockStart;
  delete song;
}

bool LoadSong(Song& song, const void* source, std::uintptr_t param, std::int32_t kind) {
  FreeModule(song);
  song.title[0] = song.tracker[0] = '\0';
  song.version = 0;
  song.loadError = LoadError::kNone;
  Source reader(kind, param);
  if (source == nullptr) {
    song.loadError = LoadError::kNotXm;
    return false;
  }
  const std::intptr_t handle = reader.Open(source);
  // A file is read through a window; without room for it the file would
  // read as empty and pass for one that is not a module.
  if (kind >= kSourceFile && reader.fileWindow == nullptr) {
    reader.Close(handle);
    song.loadError = LoadError::kOutOfMemory;
    return false;
  }
  const std::int32_t size = reader.Seek(0, 2);
  reader.Seek(0, 0);
  // No file may make the module take more than a bounded multiple of its
  // own size; beyond that the load fails as if the heap were exhausted.
  song.memory.budget = static_cast<std::size_t>(size) * 48 + (std::size_t{48} << 20);
  const int loaded = LoadModule(song, reader);
  song.memory.budget = 0;
  reader.Close(handle);
  if (!loaded) {
    FreeModule(song);
    return false;
  }
  song.keyframes.clear();
  song.writesSamples = WritesSamples(song.module);
  // Block starts kept for the module before would not fit this one.
  delete song.blockStart;
  song.blockStart = nullptr;
  RestartSong(song);
  return true;
}

void RestartSong(Song& song) {
  std::memset(song.voices, 0, sizeof song.voices);
  std::memset(song.channels, 0, sizeof song.channels);
  for (int v = kVoiceCount - 1; v >= 0; --v) {
    song.voices[v].voiceIndex = v;
    song.voices[v].stepInt = 1;
  }
  ModuleState& m = song.module;
  StartSequencer(m);
  m.orderPosition = 0;
  m.row = 0;
  for (int c = 0; c < m.channelCount && c < kMaxChannels; ++c) song.channels[c].voice = &song.voices[c];
  // Effect E5 writes into the samples; the song starts with what it loaded.
  ForEachSample(m, [](Sample& sample) { sample.finetune = sample.loadedFinetune; });
  song.emptySample.finetune = 0;
  song.jumpOrder = song.jumpRow = -1;
  song.lateJump.blockFrame = kNoLateJump;
  song.jumped = false;
  song.renderedFrames = 0;
  song.blockOffset = kBlockFrames;
  song.blockMixed = false;
  song.blockOrder = song.blockRow = 0;
  song.rowStartCount = 0;
}

void SetSongRate(Song& song, std::uint32_t rate) {
  song.module.rate = rate;
  song.keyframes.clear();
  RestartSong(song);
}

std::uint64_t SongFrame(const Song& song) { return song.renderedFrames - kBlockFrames + song.blockOffset; }

void SongPosition(const Song& song, std::int32_t& order, std::int32_t& row) {
  if (song.blockOffset < kBlockFrames) {
    // Inside a rendered block: the last row that started at or before the
    // frame, or the one that played when the block began.
    order = song.blockOrder;
    row = song.blockRow;
    for (std::uint32_t k = 0; k < song.rowStartCount && song.rowStarts[k].frame <= song.blockOffset; ++k) {
      order = song.rowStarts[k].order;
      row = song.rowStarts[k].row;
    }
    return;
  }
  // The next frame begins a block: the row that plays, or where a tick
  // starts there, the row its first tick takes. Where ticks are shorter than
  // a frame (a very high tempo below 44,100 Hz) several rows start at that
  // frame, and it plays the last of them, as it does inside a block: the
  // sequencer runs on a copy, with only the effects that move the song,
  // through the ticks that end before the frame does.
  ModuleState m = song.module;
  order = m.orderPosition;
  row = m.row;
  if (m.samplesLeftInTick != 0) return;
  std::int32_t jumpOrder = song.jumpOrder;
  const std::int32_t count = ChannelCount(m) < kMaxChannels ? ChannelCount(m) : kMaxChannels;
  std::int32_t loopRow[kMaxChannels], loopCount[kMaxChannels];
  for (std::int32_t c = 0; c < count; ++c) {
    loopRow[c] = song.channels[c].patternLoopRow;
    loopCount[c] = song.channels[c].patternLoopCount;
  }
  // Every tick moves the tick clock on by at least one frame at 44,100 Hz,
  // so a frame at 8,000 Hz or more holds only a few of them.
  for (;;) {
    if (m.tick == 0) {
      if (jumpOrder >= 0) {
        m.pendingOrder = jumpOrder;
        m.pendingRow = song.jumpRow;
        jumpOrder = -1;
      }
      TakePendingPosition(m);
      order = m.orderPosition;
      row = m.row;
      bool jumped = false;
      for (std::int32_t c = 0; c < count; ++c)
        ApplyMovingEffect(m, CurrentCell(m, c), loopRow[c], loopCount[c], jumped);
      ScheduleNextRow(m);
    }
    m.tick += 1;
    if (m.tick >= m.speed + m.patternDelayTicks) {
      m.tick = 0;
      m.patternDelayTicks = 0;
    }
    if (NextTickFrames(m) != 0) return;
  }
}

void SeekSongToBlock(Song& song, std::uint64_t block) {
  const std::uint64_t target = block * kBlockFrames;
  // A song that took a jump has left its own course; a seek goes back to
  // it, from the start (the keyframes went with the jump).
  if (song.jumped) RestartSong(song);
  // The nearest keyframe at or before the target, where it is nearer than
  // the song's frame (or the song's frame lies beyond the target).
  const SongKeyframe* nearest = nullptr;
  for (const SongKeyframe& keyframe : song.keyframes) {
    if (keyframe.frame > target) break;
    nearest = &keyframe;
  }
  if (nearest != nullptr && (song.renderedFrames > target || nearest->frame > song.renderedFrames))
    RestoreKeyframe(song, *nearest);
  else if (song.renderedFrames > target)
    RestartSong(song);
  SkipSongBlocks(song, (target - song.renderedFrames) / kBlockFrames);
  song.blockMixed = false;
}

bool KeepBlockStarts(Song& song) {
  if (song.blockStart == nullptr) {
    auto* start = new (std::nothrow) SongBlockStart();
    if (start == nullptr) return false;
    if (song.writesSamples) {
      std::size_t samples = 0;
      ForEachSample(song.module, [&](const Sample&) { ++samples; });
      try {
        start->finetunes.resize(samples);
      } catch (const std::bad_alloc&) {
        delete start;
        return false;
      }
    }
    // Nothing saved yet: the block being handed out began before this, and
    // its start (frame 0 for the first block) must not be taken for it.
    start->state.frame = ~std::uint64_t{0};
    song.blockStart = start;
  }
  return true;
}

void SaveBlockStart(Song& song) {
  SongBlockStart& start = *song.blockStart;
  SaveState(song, start.state);
  start.jumpOrder = song.jumpOrder;
  start.jumpRow = song.jumpRow;
  if (song.writesSamples) {
    std::size_t k = 0;
    ForEachSample(song.module, [&](const Sample& sample) { start.finetunes[k++] = sample.finetune; });
  }
}

void RemixSongBlock(Song& song) {
  if (!song.blockMixed) return;
  // A block handed out in full has nothing left to mix again, but its mix
  // no longer holds what the song now plays: a seek back into it must mix
  // it again rather than hand it out as it is.
  if (song.blockOffset >= kBlockFrames) {
    song.blockMixed = false;
    return;
  }
  const std::uint32_t offset = song.blockOffset;
  const std::uint64_t block = song.renderedFrames / kBlockFrames - 1;
  const SongBlockStart* start = song.blockStart;
  // A jump asked for inside this block stays asked for (a seek to the block
  // may restart the song, which forgets it).
  const LateJump lateJump = song.lateJump;
  if (start != nullptr && start->state.frame == block * kBlockFrames) {
    RestoreKeyframe(song, start->state);
    song.jumpOrder = start->jumpOrder;
    song.jumpRow = start->jumpRow;
    if (song.writesSamples) {
      std::size_t k = 0;
      ForEachSample(song.module, [&](Sample& sample) { sample.finetune = start->finetunes[k++]; });
    }
  } else if (!song.jumped) {
    SeekSongToBlock(song, block);
  } else {
    return;  // off the song's course, with no way back to the block's start
  }
  song.lateJump = lateJump;
  RenderSongBlock(song);
  song.blockOffset = offset;
}

void KeepKeyframes(Song& song, std::size_t count) {
  if (song.writesSamples || song.keyframes.capacity() >= count) return;
  try {
    song.keyframes.reserve(count);
  } catch (const std::bad_alloc&) {
    // Without room for keyframes a seek back starts from the song's start.
  }
}

void TakeKeyframe(Song& song) {
  std::vector<SongKeyframe>& keyframes = song.keyframes;
  if (keyframes.empty()) song.keyframeSpacing = kKeyframeBlocks * kBlockFrames;
  const std::uint64_t frame = song.renderedFrames;
  if (frame == 0 || frame % song.keyframeSpacing != 0 || song.jumped) return;
  if (keyframes.capacity() == 0 || (!keyframes.empty() && keyframes.back().frame >= frame)) return;
  if (keyframes.size() == keyframes.capacity()) {
    // Full: every other keyframe goes, and from here on one is taken half
    // as often. Kept only up to the first half hour, a seek back after
    // hours of play would skip from there, for seconds.
    song.keyframeSpacing *= 2;
    const std::uint64_t spacing = song.keyframeSpacing;
    std::erase_if(keyframes, [spacing](const SongKeyframe& keyframe) { return keyframe.frame % spacing != 0; });
    // (Never more than the room made: rendering does not allocate.)
    if (frame % spacing != 0 || keyframes.size() == keyframes.capacity()) return;
  }
  keyframes.emplace_back();
  SaveState(song, keyframes.back());
}

void SeekSong(Song& song, std::uint64_t frame) {
  const std::uint64_t block = frame / kBlockFrames;
  if (song.jumped || !(song.blockMixed && song.renderedFrames == (block + 1) * kBlockFrames)) {
    SeekSongToBlock(song, block);
    RenderSongBlock(song);
  }
  song.blockOffset = static_cast<std::uint32_t>(frame % kBlockFrames);
}

namespace {

// Hands out frames block by block; `put` takes a run of the current block.
template <typename Put>
std::uint32_t ReadFrames(Song& song, std::uint32_t frames, Put put) {
  std::uint32_t done = 0;
  while (done < frames) {
    if (song.blockOffset >= kBlockFrames) RenderSongBlock(song);
    std::uint32_t n = kBlockFrames - song.blockOffset;
    if (n > frames - done) n = frames - done;
    put(song.mix + song.blockOffset, song.mix + kBlockFrames + song.blockOffset, done, n);
    song.blockOffset += n;
    done += n;
  }
  return done;
}

}  // namespace

std::uint32_t ReadSongFrames(Song& song, std::int16_t* stereo, std::uint32_t frames) {
  return ReadFrames(song, frames, [&](const float* left, const float* right, std::uint32_t at, std::uint32_t n) {
    ConvertBlock(left, right, stereo + 2 * at, 2 * n, song.mixPath);
  });
}

std::uint32_t ReadSongFloatFrames(Song& song, float* stereo, std::uint32_t frames) {
  return ReadFrames(song, frames, [&](const float* left, const float* right, std::uint32_t at, std::uint32_t n) {
    float* out = stereo + 2 * at;
    for (std::uint32_t f = 0; f < n; ++f) {
      out[2 * f] = left[f] / 32768.0f;
      out[2 * f + 1] = right[f] / 32768.0f;
    }
  });
}

void JumpSong(Song& song, std::int32_t order, std::int32_t row) {
  song.jumpOrder = order;
  song.jumpRow = row;
  if (song.blockMixed && song.blockOffset < kBlockFrames) {
    const std::uint64_t block = song.renderedFrames - kBlockFrames;
    if (song.blockStart != nullptr) {
      // The jump asked for before in this block stays part of it where it
      // was taken at a row start already handed out: mixing the block again
      // takes it there again.
      SongBlockStart& start = *song.blockStart;
      if (song.lateJump.blockFrame != block) start.takenJumpCount = 0;
      bool taken = false;
      for (std::uint32_t k = 0; k < song.rowStartCount && song.lateJump.blockFrame == block; ++k)
        taken = taken || (song.rowStarts[k].frame >= song.lateJump.frame && song.rowStarts[k].frame < song.blockOffset);
      if (taken && start.takenJumpCount < kMaxRowStarts)
        start.takenJumps[start.takenJumpCount++] = {static_cast<std::uint16_t>(song.lateJump.frame),
                                                    static_cast<std::uint16_t>(song.lateJump.order),
                                                    static_cast<std::uint16_t>(song.lateJump.row)};
    }
    song.lateJump = {block, song.blockOffset, order, row};
    // The rows of the block were mixed without the jump: a row that starts
    // at or after the next frame is mixed again as the jump takes it.
    bool remixed = false;
    for (std::uint32_t k = 0; k < song.rowStartCount && !remixed; ++k) {
      if (song.rowStarts[k].frame >= song.blockOffset) {
        RemixSongBlock(song);
        remixed = true;
      }
    }
    // Once jumped, the song cannot be sought back to this block: where its
    // start is not kept yet, the rest of the block is mixed again now (to
    // the same frames), which keeps it, so that a mute or another jump later
    // in this block still takes effect at once.
    const std::uint64_t blockFrame = song.renderedFrames - kBlockFrames;
    if (!remixed && !song.jumped && song.blockStart != nullptr && song.blockStart->state.frame != blockFrame)
      RemixSongBlock(song);
  }
  // The song leaves the history its keyframes belong to; a restart (a seek
  // behind this frame) begins it again.
  song.keyframes.clear();
  song.jumped = true;
}
