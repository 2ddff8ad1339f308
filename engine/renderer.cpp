#include "renderer.h"

#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "mixer.h"
#include "replayer.h"
#include "simd.h"
#include "song.h"

void StartSequencer(ModuleState& m) {
  m.speed = m.defaultTempo;
  m.globalVolume = 64;
  m.samplesLeftInTick = 0;
  m.tick = 0;
  m.patternDelayTicks = 0;
  m.pendingRow = 0;
  m.pendingOrder = 0;
  m.elapsedMs = 0;
  m.globalVolumeSlideMemory = 0;
  m.tickClock = 0;
  PlayerSetBpm(m, m.defaultBpm);
}

void PlayerSetBpm(ModuleState& state, std::uint32_t bpm) {
  state.samplesPerTick = static_cast<std::int32_t>(bpm == 0 ? 110250u : 110250u / bpm);
}

std::uint64_t FrameAtRate(std::uint64_t x, std::uint32_t rate) {
  // (x * rate + 22050) / 44100 without the 128-bit product (which 32-bit
  // targets do not have): with x = whole * 44100 + rest, the whole seconds'
  // part is exact and the rest's product fits in 64 bits. Past 2^64 the
  // result wraps as the cast of the exact quotient did.
  const std::uint64_t whole = x / kSampleRate, rest = x % kSampleRate;
  return whole * rate + (rest * rate + kSampleRate / 2) / kSampleRate;
}

std::uint32_t NextTickFrames(ModuleState& state) { return static_cast<std::uint32_t>(NextTicksFrames(state, 1)); }

std::uint64_t NextTicksFrames(ModuleState& state, std::uint64_t ticks) {
  const std::uint64_t clock = ticks * static_cast<std::uint32_t>(state.samplesPerTick);
  const std::uint64_t from = state.tickClock;
  state.tickClock += clock;
  if (state.rate == kSampleRate) return clock;
  // Tick by tick the frames at the rate add up to this: each tick's end is
  // the next one's start.
  return FrameAtRate(state.tickClock, state.rate) - FrameAtRate(from, state.rate);
}

std::int16_t ConvertSample(float value) {
  const float rounded = std::nearbyint(value);
  if (!(rounded < 32767.0f)) return 32767;  // NaN cannot arise; it would clamp high
  if (rounded <= -32768.0f) return -32768;
  return static_cast<std::int16_t>(rounded);
}

// The row tick takes the position that the previous row left pending.
void TakePendingPosition(ModuleState& m) {
  if (m.pendingOrder >= 0) m.orderPosition = m.pendingOrder;
  if (m.pendingRow >= 0) m.row = m.pendingRow;
  m.pendingOrder = -1;
  m.pendingRow = -1;
}

// The row after this one, when the row asked for no jump: the next row, or
// row 0 of the next order position at the end of the pattern, and the
// restart position after the last one.
void ScheduleNextRow(ModuleState& m) {
  if (m.pendingRow != -1) return;
  m.pendingRow = m.row + 1;
  const Pattern& pattern = m.patternTable[m.orderTable[m.orderPosition & 255]];
  if (static_cast<std::int16_t>(m.row + 1) >= static_cast<std::int16_t>(pattern.rowCount)) {
    m.pendingRow = 0;
    m.pendingOrder = m.orderPosition + 1;
    if (static_cast<std::int16_t>(m.orderPosition + 1) >= static_cast<std::int16_t>(m.songLength))
      m.pendingOrder = static_cast<std::int16_t>(m.restartPosition);
  }
}

// One tick: row processing on the first tick of a row, later-tick effects
// on the others. A new position is taken only at the next row tick.
void AdvanceTick(Song& song) {
  ModuleState& m = song.module;
  if (m.tick == 0) {
    if (song.jumpOrder >= 0) {
      // Asked for while playing: taken here as a position jump to that row
      // would take it, over whatever the last row left pending.
      m.pendingOrder = song.jumpOrder;
      m.pendingRow = song.jumpRow;
      song.jumpOrder = song.jumpRow = -1;
    }
    TakePendingPosition(m);
    ProcessRow(song);
    ScheduleNextRow(m);
  } else {
    ProcessTick(song);
  }
  m.tick += 1;
  if (m.tick >= m.speed + m.patternDelayTicks) {
    m.tick = 0;
    m.patternDelayTicks = 0;
  }
}

// The conversion pass: round half to even (the default rounding mode) and
// clamp, interleaving the two halves of the mix into stereo frames. Wider
// paths convert each half to 32-bit integers (clamped from above first: a
// value too large for 32 bits would convert to the most negative one),
// pair them up frame by frame and narrow with saturation, which clamps from
// below; values in range come out as they were.
#ifdef ZEVORA_AVX2_PATHS
namespace {
// Eight frames at a time; the packs work within each 128-bit half, where
// the pairs are already in order.
ZEVORA_TARGET_AVX2 std::uint32_t ConvertAvx2(const float* left, const float* right, std::int16_t* out,
                                             std::uint32_t frames) {
  const __m256 high = _mm256_set1_ps(32767.0f);
  std::uint32_t f = 0;
  for (; f + 8 <= frames; f += 8) {
    const __m256i l = _mm256_cvtps_epi32(_mm256_min_ps(_mm256_loadu_ps(left + f), high));
    const __m256i r = _mm256_cvtps_epi32(_mm256_min_ps(_mm256_loadu_ps(right + f), high));
    const __m256i packed = _mm256_packs_epi32(_mm256_unpacklo_epi32(l, r), _mm256_unpackhi_epi32(l, r));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * f), packed);
  }
  return f;
}
}  // namespace
#endif

void ConvertBlock(const float* left, const float* right, std::int16_t* out, std::uint32_t count, MixPath path) {
  [[maybe_unused]] const std::uint32_t frames = count / 2;  // unused without SSE2
  std::uint32_t f = 0;
#ifdef ZEVORA_AVX2_PATHS
  // (A 16-wide loop measured 6 ns a block faster: not worth a third copy.)
  if (path >= MixPath::kAvx2 && MachineMixPath() >= MixPath::kAvx2) f = ConvertAvx2(left, right, out, frames);
#else
  (void)path;
#endif
#ifdef __SSE2__
  const __m128 high = _mm_set1_ps(32767.0f);
  for (; f + 4 <= frames; f += 4) {
    const __m128i l = _mm_cvtps_epi32(_mm_min_ps(_mm_loadu_ps(left + f), high));
    const __m128i r = _mm_cvtps_epi32(_mm_min_ps(_mm_loadu_ps(right + f), high));
    const __m128i packed = _mm_packs_epi32(_mm_unpacklo_epi32(l, r), _mm_unpackhi_epi32(l, r));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * f), packed);
  }
#endif
  for (std::uint32_t k = 2 * f; k < count; ++k) out[k] = ConvertSample((k % 2 == 0 ? left : right)[k / 2]);
}

namespace {

// Runs the sequencer for `count` frames of the song, tick by tick, and
// mixes them into the two halves of the mix (what they held before is
// overwritten), or, without `Mixing`, only moves the voices on as mixing
// would. The rows that start are noted in the song.
// A jump asked for at frame `jumpAt` of the block (kNoJump: none) is asked
// for at the first tick that starts there or later, and so is each of the
// `takenCount` jumps asked for before it in the block (`taken`, in the order
// they were asked for).
constexpr std::uint32_t kNoJump = ~std::uint32_t{0};

// Notes a row that starts at `frame` of the block. A frame's position is
// that of the last row started at or before it, so of rows that start at
// one frame (ticks shorter than a frame, at rates below 44,100 Hz) only the
// last is kept: a block never holds more row starts than frames.
void NoteRowStart(Song& song, std::uint32_t frame) {
  const RowStart start = {static_cast<std::uint16_t>(frame), static_cast<std::uint16_t>(song.module.orderPosition),
                          static_cast<std::uint16_t>(song.module.row)};
  if (song.rowStartCount > 0 && song.rowStarts[song.rowStartCount - 1].frame == start.frame)
    song.rowStarts[song.rowStartCount - 1] = start;
  else if (song.rowStartCount < kMaxRowStarts)
    song.rowStarts[song.rowStartCount++] = start;
}

template <bool Mixing>
void RenderFrames(Song& song, float* left, float* right, std::uint32_t count, std::uint32_t jumpAt,
                  const RowStart* taken, std::uint32_t takenCount) {
  ModuleState& m = song.module;
  std::uint32_t done = 0;
  std::int32_t leftInTick = m.samplesLeftInTick;
  while (done < count) {
    if (leftInTick == 0) {
      for (; takenCount > 0 && taken->frame <= done; ++taken, --takenCount) {
        song.jumpOrder = taken->order;
        song.jumpRow = taken->row;
      }
      if (done >= jumpAt) {
        song.jumpOrder = song.lateJump.order;
        song.jumpRow = song.lateJump.row;
        jumpAt = kNoJump;
      }
      const bool rowTick = m.tick == 0;
      AdvanceTick(song);
      if (rowTick) NoteRowStart(song, done);
      leftInTick = static_cast<std::int32_t>(NextTickFrames(m));
    }
    std::uint32_t n = static_cast<std::uint32_t>(leftInTick);
    if (n > count - done) n = count - done;
    song.channelMixAt = done;
    if (Mixing)
      MixVoices(song, left + done, right + done, n, true);
    else
      SkipVoices(song, n);
    done += n;
    leftInTick -= static_cast<std::int32_t>(n);
    // 10 ms for every 441 frames at 44,100 Hz, rounded down run by run.
    m.elapsedMs += static_cast<std::uint32_t>(std::uint64_t{n} * 1000 / m.rate);
  }
  m.samplesLeftInTick = leftInTick;
  if (jumpAt != kNoJump) {
    song.jumpOrder = song.lateJump.order;
    song.jumpRow = song.lateJump.row;
  }
}

template <bool Mixing>
void RenderOneBlock(Song& song) {
  TakeKeyframe(song);
  if (Mixing && song.blockStart != nullptr) SaveBlockStart(song);
  song.blockOrder = static_cast<std::uint16_t>(song.module.orderPosition);
  song.blockRow = static_cast<std::uint16_t>(song.module.row);
  song.rowStartCount = 0;
  if (Mixing && song.channelMix != nullptr)
    std::memset(song.channelMix, 0, sizeof(float) * kMaxChannels * kBlockFrames);
  const bool late = song.lateJump.blockFrame == song.renderedFrames;
  const std::uint32_t jumpAt = late ? song.lateJump.frame : kNoJump;
  const SongBlockStart* start = song.blockStart;
  RenderFrames<Mixing>(song, song.mix, song.mix + kBlockFrames, kBlockFrames, jumpAt,
                       start != nullptr ? start->takenJumps : nullptr,
                       late && start != nullptr ? start->takenJumpCount : 0);
  song.renderedFrames += kBlockFrames;
}

}  // namespace

void RenderSongBlock(Song& song) {
  // Only a song that is mixed needs the spans of its samples.
  if (!song.spansBuilt) {
    BuildSampleSpans(song);
    song.spansBuilt = true;
  }
  RenderOneBlock<true>(song);
  song.blockMixed = true;
  song.blockOffset = 0;
}

void SkipSongBlocks(Song& song, std::uint64_t blocks) {
  for (std::uint64_t b = 0; b < blocks; ++b) RenderOneBlock<false>(song);
  if (blocks > 0) song.blockMixed = false;
  song.blockOffset = kBlockFrames;
}
