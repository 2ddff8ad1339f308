#include "renderer.h"

#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "mixer.h"
#include "replayer.h"
#include "simd.h"

std::atomic<std::uint64_t> positionLog[kRingBlocks];
std::atomic<std::uint32_t> positionLogIndex{0};
std::uint32_t writeBlock = 0;
SoundBuffer* soundBuffer = nullptr;
std::uint64_t songFrame = 0;
std::uint64_t songEndFrame = kNoSongEnd;
float mixRing[kMixSlots][kBlockFrames * 2];

PositionLogEntry ReadPositionLog(std::uint32_t index) {
  const std::uint64_t word = positionLog[index % kRingBlocks].load(std::memory_order_acquire);
  return {static_cast<std::uint16_t>(word & 0xFFFF), static_cast<std::uint32_t>(word >> 16)};
}

void ClearPositionLog() {
  for (auto& entry : positionLog) entry.store(0, std::memory_order_release);
  positionLogIndex.store(0, std::memory_order_release);
}

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
  PlayerSetBpm(m, m.defaultBpm);
}

void PlayerSetBpm(ModuleState& state, std::uint32_t bpm) {
  state.samplesPerTick = static_cast<std::int32_t>(bpm == 0 ? 110250u : 110250u / bpm);
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
void AdvanceTick(ModuleState& m) {
  if (m.tick == 0) {
    TakePendingPosition(m);
    ProcessRow(m);
    ScheduleNextRow(m);
  } else {
    ProcessTick(m);
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

void ConvertBlock(const float* left, const float* right, std::int16_t* out, std::uint32_t count) {
  const std::uint32_t frames = count / 2;
  std::uint32_t f = 0;
#ifdef ZEVORA_AVX2_PATHS
  // (A 16-wide loop measured 6 ns a block faster: not worth a third copy.)
  if (cpuHasAvx2) f = ConvertAvx2(left, right, out, frames);
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
// Runs the sequencer and mixes `count` frames into the two halves of the
// mix, tick by tick; what they held before is overwritten.
void RenderFrames(float* left, float* right, std::uint32_t count) {
  ModuleState& m = moduleState;
  std::uint32_t done = 0;
  std::int32_t leftInTick = m.samplesLeftInTick;
  while (done < count) {
    if (leftInTick == 0) {
      AdvanceTick(m);
      leftInTick = m.samplesPerTick;
    }
    std::uint32_t n = static_cast<std::uint32_t>(leftInTick);
    if (n > count - done) n = count - done;
    MixVoices(left + done, right + done, n, true);
    done += n;
    leftInTick -= static_cast<std::int32_t>(n);
    m.elapsedMs += n * 10 / 441;
  }
  m.samplesLeftInTick = leftInTick;
}
}  // namespace

void SkipFrames(std::uint64_t frames) {
  float* slot = mixRing[0];
  while (frames > 0) {
    const std::uint32_t n = frames < kBlockFrames ? static_cast<std::uint32_t>(frames) : kBlockFrames;
    RenderFrames(slot, slot + kBlockFrames, n);
    frames -= n;
    songFrame += n;
  }
}

HRESULT RenderBlock() {
  const std::uint32_t b = writeBlock;
  float* slot = mixRing[b % kMixSlots];
  RenderFrames(slot, slot + kBlockFrames, kBlockFrames);
  const std::uint64_t blockStart = songFrame;
  songFrame += kBlockFrames;
  const ModuleState& m = moduleState;

  const std::uint64_t songPosition = (m.orderPosition & 255) | ((m.row & 255) << 8);
  positionLog[b].store(songPosition | (std::uint64_t{m.elapsedMs} << 16), std::memory_order_release);

  void* region = nullptr;
  std::uint32_t length = 0;
  const HRESULT locked = soundBuffer->Lock(b * kBlockBytes, kBlockBytes, &region, &length, nullptr, nullptr, 0);
  if (locked < 0) return locked;
  if (length > kBlockBytes) length = kBlockBytes;
  if (length >= 2) {
    ConvertBlock(slot, slot + kBlockFrames, static_cast<std::int16_t*>(region), length / 2);
    // Nothing from beyond the song's end is heard.
    if (songEndFrame < blockStart + kBlockFrames) {
      const std::uint64_t from = (songEndFrame > blockStart ? songEndFrame - blockStart : 0) * kBytesPerFrame;
      if (from < length) std::memset(static_cast<std::uint8_t*>(region) + from, 0, length - from);
    }
    writeBlock = (b + 1) % kRingBlocks;
  }
  return soundBuffer->Unlock(region, length, nullptr, 0);
}
