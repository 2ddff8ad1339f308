#include "mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "simd.h"
#include "song.h"

namespace {

constexpr std::int64_t kOne = std::int64_t{1} << 32;

std::int64_t Position(const Voice& v) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(static_cast<std::uint32_t>(v.positionInt)) << 32 |
                                   v.positionFrac);
}

void SetPosition(Voice& v, std::int64_t p) {
  v.positionInt = static_cast<std::int32_t>(p >> 32);
  v.positionFrac = static_cast<std::uint32_t>(p);
}

// Frames until the position reaches distance D, if that is at most
// `frames`; otherwise `limited` is false. The 2^-24 units keep the division
// in 64 bits; steps of 256 frames or more would wrap there and are divided
// exactly instead. The division is skipped when the boundary lies beyond the
// frames wanted: ceil(q / s) <= frames exactly when q <= frames * s.
std::uint64_t FramesToBoundary(std::uint64_t distance, std::uint32_t stepInt, std::uint32_t stepFrac,
                               std::uint32_t frames, bool& limited) {
  limited = false;
  if (stepInt >= 256) {
    const std::uint64_t step = (std::uint64_t{stepInt} << 32) | stepFrac;
    // distance > frames * step, without the 128-bit product (which 32-bit
    // targets do not have): distance = whole * step + rest.
    const std::uint64_t whole = distance / step;
    if (whole > frames || (whole == frames && distance % step != 0)) return 0;
    limited = true;
    return (distance + step - 1) / step;
  }
  if ((distance >> 32) >= 0x1000000) return 0;
  const std::uint64_t q = distance >> 8;
  std::uint32_t s = static_cast<std::uint32_t>((stepInt << 24) + (stepFrac >> 8));
  if (s == 0) s = 97391;
  if (q > std::uint64_t{frames} * s) return 0;
  limited = true;
  return (q + s - 1) / s;
}

// Where the position stands after `frames` frames: each frame clears the
// lowest fraction bit and then adds the step, which comes to this.
inline std::int64_t Advance(std::int64_t p, std::int64_t step, std::uint32_t frames) {
  if (frames == 0) return p;
  const std::uint64_t s = static_cast<std::uint64_t>(step);
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(p) & ~std::uint64_t{1}) +
                                   frames * (s & ~std::uint64_t{1}) + (s & 1));
}

// One frame's sample value: linear interpolation with the weight taken from
// the top 31 bits of the fraction (exact in double).
inline double Interpolate(const std::int16_t* data, std::int64_t p) {
  const std::int32_t i = static_cast<std::int32_t>(p >> 32);
  const double w = static_cast<double>(static_cast<std::uint32_t>(p) >> 1) * (1.0 / 2147483648.0);
  return static_cast<double>(data[i]) + static_cast<double>(data[i + 1] - data[i]) * w;
}

inline std::int64_t NextPosition(std::int64_t p, std::int64_t step) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(p) & ~std::uint64_t{1}) +
                                   static_cast<std::uint64_t>(step));
}

// Where a chunk's frames go: the left and the right half of the mix, one
// float a frame each.
struct Out {
  float* left;
  float* right;
  Out operator+(std::uint32_t frames) const { return {left + frames, right + frames}; }
};

// The left and right gains of a frame; with SSE2 both sides are worked out
// in one register, with the same double operations as one at a time.
#ifdef __SSE2__
using Gains = __m128d;
inline Gains MakeGains(double left, double right) { return _mm_set_pd(right, left); }
inline Gains AddGains(Gains a, Gains b) { return _mm_add_pd(a, b); }
inline double LeftGain(Gains g) { return _mm_cvtsd_f64(g); }
inline double RightGain(Gains g) { return _mm_cvtsd_f64(_mm_unpackhi_pd(g, g)); }
inline void AddFrame(Out out, double v, Gains g) {
  const __m128d mixed = _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(out.left), _mm_load_ss(out.right)));
  const __m128 sum = _mm_cvtpd_ps(_mm_add_pd(mixed, _mm_mul_pd(_mm_set1_pd(v), g)));
  _mm_store_ss(out.left, sum);
  _mm_store_ss(out.right, _mm_shuffle_ps(sum, sum, _MM_SHUFFLE(1, 1, 1, 1)));
}
#else
struct Gains {
  double left, right;
};
inline Gains MakeGains(double left, double right) { return {left, right}; }
inline Gains AddGains(Gains a, Gains b) { return {a.left + b.left, a.right + b.right}; }
inline double LeftGain(Gains g) { return g.left; }
inline double RightGain(Gains g) { return g.right; }
inline void AddFrame(Out out, double v, Gains g) {
  out.left[0] = static_cast<float>(static_cast<double>(out.left[0]) + v * g.left);
  out.right[0] = static_cast<float>(static_cast<double>(out.right[0]) + v * g.right);
}
#endif

#ifdef __SSE2__
// Two frames at once, positions p0 and p1: the same double operations as
// Interpolate, two lanes wide. Frame j's two neighbouring sample values are
// read as one 32-bit word.
inline __m128d Interpolate2(const std::int16_t* data, std::int64_t p0, std::int64_t p1) {
  std::int32_t pair0, pair1;
  std::memcpy(&pair0, data + static_cast<std::int32_t>(p0 >> 32), sizeof pair0);
  std::memcpy(&pair1, data + static_cast<std::int32_t>(p1 >> 32), sizeof pair1);
  const __m128i packed = _mm_unpacklo_epi32(_mm_cvtsi32_si128(pair0), _mm_cvtsi32_si128(pair1));
  const __m128i values = _mm_srai_epi32(_mm_unpacklo_epi16(packed, packed), 16);  // a0 b0 a1 b1
  const __m128i a = _mm_shuffle_epi32(values, _MM_SHUFFLE(3, 1, 2, 0));           // a0 a1 ..
  const __m128i b = _mm_shuffle_epi32(values, _MM_SHUFFLE(2, 0, 3, 1));           // b0 b1 ..
  const __m128i fractions =
      _mm_unpacklo_epi32(_mm_cvtsi32_si128(static_cast<std::int32_t>(static_cast<std::uint32_t>(p0) >> 1)),
                         _mm_cvtsi32_si128(static_cast<std::int32_t>(static_cast<std::uint32_t>(p1) >> 1)));
  const __m128d w = _mm_mul_pd(_mm_cvtepi32_pd(fractions), _mm_set1_pd(1.0 / 2147483648.0));
  return _mm_add_pd(_mm_cvtepi32_pd(a), _mm_mul_pd(_mm_cvtepi32_pd(_mm_sub_epi32(b, a)), w));
}

// Adds two frames with the same gains.
inline void AddFrames2(Out out, __m128d v, Gains g) {
  const auto load2 = [](const float* f) {
    return _mm_cvtps_pd(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(f)));
  };
  const auto store2 = [](float* f, __m128d x) { _mm_storel_pi(reinterpret_cast<__m64*>(f), _mm_cvtpd_ps(x)); };
  store2(out.left, _mm_add_pd(load2(out.left), _mm_mul_pd(v, _mm_unpacklo_pd(g, g))));
  store2(out.right, _mm_add_pd(load2(out.right), _mm_mul_pd(v, _mm_unpackhi_pd(g, g))));
}
#endif

// Produces frames with fixed gains (no ramp): two at a time, and a single
// one to end an odd chunk.
inline std::int64_t MixFixed(const std::int16_t* data, std::int64_t p, std::int64_t step, Gains gains, Out out,
                             std::uint32_t frames) {
  std::uint32_t f = 0;
#ifdef __SSE2__
  for (; f + 2 <= frames; f += 2, out = out + 2) {
    const std::int64_t p1 = NextPosition(p, step);
    AddFrames2(out, Interpolate2(data, p, p1), gains);
    p = NextPosition(p1, step);
  }
#endif
  for (; f < frames; ++f, out = out + 1) {
    AddFrame(out, Interpolate(data, p), gains);
    p = NextPosition(p, step);
  }
  return p;
}

// Produces frames while the gains ramp; the first frame uses the start gains.
inline std::int64_t MixRamp(const std::int16_t* data, std::int64_t p, std::int64_t step, Gains& gains, Gains delta,
                            Out out, std::uint32_t frames) {
  for (std::uint32_t f = 0; f < frames; ++f, out = out + 1) {
    AddFrame(out, Interpolate(data, p), gains);
    p = NextPosition(p, step);
    gains = AddGains(gains, delta);
  }
  return p;
}

// Whether every running gain of a ramp of up to 128 frames is exact in
// double: gains of 2^-8 to 16 and steps of 2^-15 to 1/4 (or 0) lie on a grid
// of 2^-38, and no sum reaches 2^6, well within 53 bits.
bool RampIsExact(double gain, double delta, std::uint32_t frames) {
  const double g = std::fabs(gain), d = std::fabs(delta);
  return frames <= 128 && (g == 0.0 || (g >= 0.00390625 && g <= 16.0)) &&
         (d == 0.0 || (d >= 1.0 / 32768.0 && d <= 0.25));
}

// Writes silence into `frames` frames of both halves.
void Silence(Out out, std::uint32_t frames) {
  std::memset(out.left, 0, sizeof(float) * frames);
  std::memset(out.right, 0, sizeof(float) * frames);
}

#ifdef ZEVORA_AVX2_PATHS
// The loop of MixAvx2 for one source of sample values: the spans
// (`Spans`) or the frames. Read from spans, the lanes stand 2 below the
// frames, as in MixAvx512, so that 2X is S + 2d * F' with the fraction F'
// of the lane's own position. `Fresh`: as in MixAvx512, what the output
// held is not read (the sums are taken with +0.0, as with a cleared buffer).
template <bool Ramp, bool Spans, bool Fresh>
ZEVORA_TARGET_AVX2 std::int64_t MixAvx2Frames(const std::int16_t* data, const std::int64_t* spans, std::int64_t p,
                                              std::int64_t step, Gains& gains, Gains delta, Out out,
                                              std::uint32_t frames) {
  std::uint32_t f = 0;
  // Only a position whose lowest bit differs from the step's stands off the
  // progression, and only in bit 0, which takes no part in the sample
  // value: the frame is worked out from the progression's start instead.
  p = static_cast<std::int64_t>((static_cast<std::uint64_t>(p) & ~std::uint64_t{1}) |
                                (static_cast<std::uint64_t>(step) & 1));
  const auto e = static_cast<std::uint64_t>(step & ~std::int64_t{1});
  std::uint64_t at = static_cast<std::uint64_t>(p) - (Spans ? 2 : 0);  // frame 0's lane of the next group
  __m256i q = _mm256_add_epi64(_mm256_set1_epi64x(static_cast<std::int64_t>(at)),
                               _mm256_setr_epi64x(0, static_cast<std::int64_t>(e), static_cast<std::int64_t>(2 * e),
                                                  static_cast<std::int64_t>(3 * e)));
  const __m256i advance = _mm256_set1_epi64x(static_cast<std::int64_t>(4 * e));
  const __m256i magicBits = _mm256_set1_epi64x(0x4338000000000000);
  const __m256d magic = _mm256_set1_pd(6755399441055744.0);
  const double scale = 1.0 / 4294967296.0;  // for 2X
  const double left = LeftGain(gains), right = RightGain(gains);
  const double gl = left * scale, gr = right * scale;
  const double dl = Ramp ? LeftGain(delta) * scale : 0.0, dr = Ramp ? RightGain(delta) * scale : 0.0;
  __m256d gainsLeft = _mm256_setr_pd(gl, gl + dl, gl + 2 * dl, gl + 3 * dl);
  __m256d gainsRight = _mm256_setr_pd(gr, gr + dr, gr + 2 * dr, gr + 3 * dr);
  const __m256d stepLeft = _mm256_set1_pd(4 * dl), stepRight = _mm256_set1_pd(4 * dr);
  // The positions go along twice: in general registers for the four
  // indices (loads want them there) and in q for the fractions, so that no
  // vector-to-scalar moves compete with the arithmetic for the vector units.
#pragma GCC unroll 2
  for (; f + 4 <= frames; f += 4, out = out + 4) {
    // The multiply takes the low 32 bits of each lane as signed; the fraction
    // shifted right by one is below 2^31.
    const __m256i fraction = _mm256_srli_epi32(q, 1);
    __m256i x;  // 2X
    if (Spans) {
      // One 64-bit lane per frame holding its span.
      const __m256i ad =
          _mm256_setr_epi64x(spans[static_cast<std::int32_t>(static_cast<std::int64_t>(at) >> 32)],
                             spans[static_cast<std::int32_t>(static_cast<std::int64_t>(at + e) >> 32)],
                             spans[static_cast<std::int32_t>(static_cast<std::int64_t>(at + 2 * e) >> 32)],
                             spans[static_cast<std::int32_t>(static_cast<std::int64_t>(at + 3 * e) >> 32)]);
      x = _mm256_add_epi64(ad, _mm256_mul_epi32(ad, fraction));
    } else {
      std::int32_t pair[4];
      for (std::uint64_t j = 0; j < 4; ++j)
        std::memcpy(&pair[j], data + static_cast<std::int32_t>(static_cast<std::int64_t>(at + j * e) >> 32),
                    sizeof pair[j]);
      // One 64-bit lane per frame holding a and b as 32-bit values.
      const __m256i ab = _mm256_cvtepi16_epi32(_mm_setr_epi32(pair[0], pair[1], pair[2], pair[3]));
      const __m256i d = _mm256_sub_epi32(_mm256_srli_epi64(ab, 32), ab);  // b - a in the low half
      const __m256i product = _mm256_mul_epi32(d, fraction);
      x = _mm256_add_epi64(_mm256_slli_epi64(ab, 32), _mm256_add_epi64(product, product));
    }
    at += 4 * e;
    const __m256d v = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(x, magicBits)), magic);  // 2X
    const __m256d heldLeft = Fresh ? _mm256_setzero_pd() : _mm256_cvtps_pd(_mm_loadu_ps(out.left));
    const __m256d heldRight = Fresh ? _mm256_setzero_pd() : _mm256_cvtps_pd(_mm_loadu_ps(out.right));
    const __m256d mixedLeft = _mm256_add_pd(heldLeft, _mm256_mul_pd(v, gainsLeft));
    const __m256d mixedRight = _mm256_add_pd(heldRight, _mm256_mul_pd(v, gainsRight));
    _mm_storeu_ps(out.left, _mm256_cvtpd_ps(mixedLeft));
    _mm_storeu_ps(out.right, _mm256_cvtpd_ps(mixedRight));
    if (Ramp) {
      gainsLeft = _mm256_add_pd(gainsLeft, stepLeft);
      gainsRight = _mm256_add_pd(gainsRight, stepRight);
    }
    q = _mm256_add_epi64(q, advance);
  }
  p = static_cast<std::int64_t>(at + (Spans ? 2 : 0));
  if (Fresh) Silence(out, frames - f);
  if (Ramp) {
    const double done = static_cast<double>(f);
    gains = MakeGains(left + done * LeftGain(delta), right + done * RightGain(delta));
    return MixRamp(data, p, step, gains, delta, out, frames - f);
  }
  return MixFixed(data, p, step, gains, out, frames - f);
}

// Four frames at once with AVX2, bit-identical to MixFixed and MixRamp.
// Positions: every frame clears the lowest fraction bit before adding the
// step, so frame k (k >= 1) stands at (p & ~1) + step + (k - 1) * (step & ~1);
// when p's lowest bit equals the step's, that is p + k * (step & ~1) for
// every k.
// Sample value: a + (b - a) * w is exact in double and equals X * 2^-31 with
// the integer X = a * 2^31 + (b - a) * (fraction >> 1), |X| < 2^48. 2X is
// worked out in 64-bit lanes and turned into a double by adding it to the bit
// pattern of 1.5 * 2^52 and subtracting that value again, which is exact.
// 2X * 2^-32 * gain is rounded once, however the exact power of two is
// grouped, so it goes with the gains.
// Ramps: where RampIsExact holds, every running gain g0 + k * delta is exact
// in double, so adding four steps to frame k's gain gives frame k + 4's
// exactly.
// The lanes hold frames 0-3 in order; the left and right products go to
// the two halves of the mix.
// With `spans` (not null) each frame's values come from the sample's spans:
// a span S = a * 2^32 + 2(b - a) has 2(b - a) as its low 32 bits, and
// S + 2(b - a) * ((fraction >> 1) - 1) is 2X.
template <bool Ramp, bool Fresh>
ZEVORA_TARGET_AVX2 std::int64_t MixAvx2(const std::int16_t* data, const std::int64_t* spans, std::int64_t p,
                                        std::int64_t step, Gains& gains, Gains delta, Out out, std::uint32_t frames) {
  if (frames < 8) {
    if (Fresh) Silence(out, frames);
    return Ramp ? MixRamp(data, p, step, gains, delta, out, frames) : MixFixed(data, p, step, gains, out, frames);
  }
  if (spans != nullptr) return MixAvx2Frames<Ramp, true, Fresh>(data, spans, p, step, gains, delta, out, frames);
  return MixAvx2Frames<Ramp, false, Fresh>(data, spans, p, step, gains, delta, out, frames);
}

#ifdef ZEVORA_AVX512_PATHS
// The state of the AVX-512 loop, see MixAvx512.
struct Avx512Run {
  const std::int16_t* data;
  const std::int64_t* spans;  // the sample's spans, or null
  std::uint64_t at;           // the first frame's position of the next group
  std::uint64_t e;            // step & ~1
  __m512i q;                  // the group's positions, frames 0-7
  __m512i advance;            // 8 * e per lane
  // Left and right gains * 2^-32 of the group's frames, and what a group
  // adds to them (8 ramp steps * 2^-32). Where the wide path takes a ramp
  // every running gain is exact, so adding gives the same bits as
  // multiplying out.
  __m512d gainsLeft, gainsRight, stepLeft, stepRight;
};

// The entry (sample frame) lane j of a group reads; past the chunk's end
// (j >= count unless `Whole`) a lane reads frame 0's again.
template <bool Whole>
inline std::int32_t GroupEntry(const Avx512Run& r, std::uint64_t j, std::uint32_t count) {
  return static_cast<std::int32_t>(static_cast<std::int64_t>(r.at + (Whole || j < count ? j : 0) * r.e) >> 32);
}

// Where a group's sample values come from: the frames, the spans one by
// one, or two neighbouring groups of eight spans that hold them all, the
// lowest entry being the first frame's (forward) or the last one's
// (backward).
enum class Source { kFrames, kSpans, kWindow, kWindowBack };

// One group of eight frames of which the first `count` are stored (all
// eight when `Whole`); lanes past the chunk's end are never stored.
template <bool Ramp, bool Fresh, bool Whole, Source From>
ZEVORA_TARGET_AVX512 __attribute__((always_inline)) inline void MixGroup512(Avx512Run& r, Out out,
                                                                            std::uint32_t count) {
  // The multiply takes the low 32 bits of each lane as signed; the fraction
  // shifted right by one is below 2^31.
  const __m512i fraction = _mm512_srli_epi32(r.q, 1);
  __m512i x;  // 2X
  if (From == Source::kFrames) {
    std::int32_t pair[8];
    for (std::uint64_t j = 0; j < 8; ++j)
      std::memcpy(&pair[j], r.data + GroupEntry<Whole>(r, j, count), sizeof pair[j]);
    // One 64-bit lane per frame holding a and b as 32-bit values.
    const __m512i ab = _mm512_cvtepi16_epi32(
        _mm256_setr_epi32(pair[0], pair[1], pair[2], pair[3], pair[4], pair[5], pair[6], pair[7]));
    const __m512i d = _mm512_sub_epi32(_mm512_srli_epi64(ab, 32), ab);  // b - a in the low half
    const __m512i product = _mm512_mul_epi32(d, fraction);
    x = _mm512_add_epi64(_mm512_slli_epi64(ab, 32), _mm512_add_epi64(product, product));
  } else {
    // One 64-bit lane per frame holding its span.
    __m512i ad;
    if (From == Source::kWindow || From == Source::kWindowBack) {
      // Every stored frame's entry lies in the group of eight holding the
      // lowest one or the next group. Entry i is element i % 8 of group
      // i / 8, and bit 3 of i tells an even group from an odd one, so the
      // low four bits of i pick it out of the (even, odd) pair.
      const std::int32_t lowest =
          From == Source::kWindow ? GroupEntry<true>(r, 0, count) : GroupEntry<true>(r, Whole ? 7 : count - 1, count);
      // Of the group holding the lowest entry and the next one, the even
      // group starts at (lowest + 8) & ~15 and the odd one at
      // (lowest & ~15) + 8.
      const __m512i even = _mm512_load_si512(r.spans + ((lowest + 8) & ~15));
      const __m512i other = _mm512_load_si512(r.spans + (lowest & ~15) + 8);
      ad = _mm512_permutex2var_epi64(even, _mm512_srli_epi64(r.q, 32), other);
    } else {
      std::int64_t span[8];
      for (std::uint64_t j = 0; j < 8; ++j) span[j] = r.spans[GroupEntry<Whole>(r, j, count)];
      ad = _mm512_setr_epi64(span[0], span[1], span[2], span[3], span[4], span[5], span[6], span[7]);
    }
    x = _mm512_add_epi64(ad, _mm512_mul_epi32(ad, fraction));
  }
  r.at += 8 * r.e;
  const __m512d v = _mm512_cvtepi64_pd(x);  // 2X, exact below 2^53
  const __m512d productLeft = _mm512_mul_pd(v, r.gainsLeft);
  const __m512d productRight = _mm512_mul_pd(v, r.gainsRight);
  if (Ramp) {
    r.gainsLeft = _mm512_add_pd(r.gainsLeft, r.stepLeft);
    r.gainsRight = _mm512_add_pd(r.gainsRight, r.stepRight);
  }
  const auto mask = static_cast<__mmask8>(Whole ? 0xFF : (1u << count) - 1);
  __m512d mixedLeft = _mm512_setzero_pd(), mixedRight = _mm512_setzero_pd();
  if (!Fresh) {
    mixedLeft = _mm512_cvtps_pd(Whole ? _mm256_loadu_ps(out.left) : _mm256_maskz_loadu_ps(mask, out.left));
    mixedRight = _mm512_cvtps_pd(Whole ? _mm256_loadu_ps(out.right) : _mm256_maskz_loadu_ps(mask, out.right));
  }
  // The sums are taken by multiply-adds with a factor of 1, which round
  // once just like an add but leave the units that convert free.
  const __m512d one = _mm512_set1_pd(1.0);
  const __m256 sumLeft = _mm512_cvtpd_ps(_mm512_fmadd_pd(productLeft, one, mixedLeft));
  const __m256 sumRight = _mm512_cvtpd_ps(_mm512_fmadd_pd(productRight, one, mixedRight));
  if (Whole) {
    _mm256_storeu_ps(out.left, sumLeft);
    _mm256_storeu_ps(out.right, sumRight);
  } else {
    _mm256_mask_storeu_ps(out.left, mask, sumLeft);
    _mm256_mask_storeu_ps(out.right, mask, sumRight);
  }
  r.q = _mm512_add_epi64(r.q, r.advance);
}

// A chunk's groups of eight, the last one masked.
template <bool Ramp, bool Fresh, Source From>
ZEVORA_TARGET_AVX512 __attribute__((always_inline)) inline void MixGroups512(Avx512Run& r, Out out,
                                                                             std::uint32_t frames) {
  std::uint32_t f = 0;
  for (; f + 8 <= frames; f += 8, out = out + 8) MixGroup512<Ramp, Fresh, true, From>(r, out, 8);
  if (f < frames) MixGroup512<Ramp, Fresh, false, From>(r, out, frames - f);
}

// Eight frames at once with AVX-512, bit-identical to MixFixed and MixRamp,
// for a chunk of any length (the last group is masked).
// Positions: frame k (k >= 1) stands at (p & ~1) + step + (k - 1) * e with
// e = step & ~1, which is s + k * e for s = (p & ~1) | (step & 1). Frame 0
// stands at p, which differs from s in bit 0 only, and bit 0 takes no part
// in the sample value, so every frame can be worked out from s.
// Sample value and gains as in MixAvx2; 2X becomes a double by the exact
// 64-bit integer conversion.
// `Fresh`: the voice is mixed onto silence; what the output held is not
// read (the sums are taken with +0.0, as with a cleared buffer).
template <bool Ramp, bool Fresh>
ZEVORA_TARGET_AVX512 std::int64_t MixAvx512(const std::int16_t* data, const std::int64_t* spans, std::int64_t p,
                                            std::int64_t step, Gains& gains, Gains delta, Out out,
                                            std::uint32_t frames) {
  if (frames == 0) return p;
  const auto e = static_cast<std::uint64_t>(step) & ~std::uint64_t{1};
  const auto s = (static_cast<std::uint64_t>(p) & ~std::uint64_t{1}) | (static_cast<std::uint64_t>(step) & 1);
  // Read from spans, the lanes stand 2 below the frames: at position P - 2,
  // entry I' and fraction F' (P - 2 = I' * 2^32 + 2F' + bit 0) give 2X as
  // S + 2d * F', one add less than S + 2d * (F - 1) at P. Where P's fraction
  // F is 2 or more, I' is P's entry and F' = (F >> 1) - 1; below 2, I' is
  // the entry before and F' = 2^31 - 1, and S + 2d(2^31 - 1) = a * 2^32 +
  // d * 2^32 is the next entry's a * 2^32, which is 2X there.
  const std::uint64_t lanes = spans != nullptr ? s - 2 : s;
  const double scale = 1.0 / 4294967296.0;  // for 2X
  const double left = LeftGain(gains), right = RightGain(gains);
  const double gl = left * scale, gr = right * scale;
  const double dl = Ramp ? LeftGain(delta) * scale : 0.0, dr = Ramp ? RightGain(delta) * scale : 0.0;
  const __m512d frameNumbers = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
  Avx512Run r{data,
              spans,
              lanes,
              e,
              _mm512_add_epi64(_mm512_set1_epi64(static_cast<std::int64_t>(lanes)),
                               _mm512_mullo_epi64(_mm512_set1_epi64(static_cast<std::int64_t>(e)),
                                                  _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7))),
              _mm512_set1_epi64(static_cast<std::int64_t>(8 * e)),
              _mm512_set1_pd(gl),
              _mm512_set1_pd(gr),
              _mm512_setzero_pd(),
              _mm512_setzero_pd()};
  if (Ramp) {
    r.gainsLeft = _mm512_add_pd(r.gainsLeft, _mm512_mul_pd(frameNumbers, _mm512_set1_pd(dl)));
    r.gainsRight = _mm512_add_pd(r.gainsRight, _mm512_mul_pd(frameNumbers, _mm512_set1_pd(dr)));
    r.stepLeft = _mm512_set1_pd(8 * dl);
    r.stepRight = _mm512_set1_pd(8 * dr);
  }
  // Eight frames of a step up to 8/7 span at most nine entries, which two
  // neighbouring groups of eight always hold.
  const std::uint64_t stride = static_cast<std::int64_t>(e) < 0 ? 0 - e : e;
  if (spans != nullptr && stride <= (std::uint64_t{8} << 32) / 7 && static_cast<std::int64_t>(e) >= 0)
    MixGroups512<Ramp, Fresh, Source::kWindow>(r, out, frames);
  else if (spans != nullptr && stride <= (std::uint64_t{8} << 32) / 7)
    MixGroups512<Ramp, Fresh, Source::kWindowBack>(r, out, frames);
  else if (spans != nullptr)
    MixGroups512<Ramp, Fresh, Source::kSpans>(r, out, frames);
  else
    MixGroups512<Ramp, Fresh, Source::kFrames>(r, out, frames);
  if (Ramp) {
    const double done = static_cast<double>(frames);
    gains = MakeGains(left + done * LeftGain(delta), right + done * RightGain(delta));
  }
  return static_cast<std::int64_t>(s + frames * e);
}
#endif

#endif

// A ping-pong reflection at the loop end, repeated with the one at the loop
// start until the position lies inside the loop. Two reflections move the
// position by exactly twice the loop length, so long overshoots are brought
// back in one step.
void ReflectAtEnd(Voice& v, std::int64_t start, std::int64_t end) {
  std::int64_t p = Position(v);
  const std::int64_t twice = 2 * (end - start);
  if (p >= end + twice) p -= ((p - end) / twice) * twice;
  if (p < end + (end - start)) {
    SetPosition(v, 2 * end - p - 1);
    v.backward = 1;
  } else {
    SetPosition(v, p - twice);
    v.backward = 0;
  }
}

void ReflectAtStart(Voice& v, std::int64_t start, std::int64_t end) {
  std::int64_t p = Position(v);
  const std::int64_t length = end - start;
  const std::int64_t twice = 2 * length;
  if (p < start - twice) p += ((start - twice - p + twice - 1) / twice) * twice;
  if (p >= start - length) {
    SetPosition(v, 2 * start - p - 1);
    v.backward = 0;
  } else {
    SetPosition(v, p + twice);
    v.backward = 1;
  }
}

// A chunk, by the widest loop the processor has; a ramp takes the wide
// loops only where its running gains are exact.
template <bool Ramp>
std::int64_t MixChunk(const Sample& sample, std::int64_t p, std::int64_t step, Gains& gains, Gains delta, Out out,
                      std::uint32_t frames, bool overwrite, MixPath path) {
  const std::int16_t* data = sample.data;
#ifdef ZEVORA_AVX2_PATHS
  const bool wide = !Ramp || (RampIsExact(LeftGain(gains), LeftGain(delta), frames) &&
                              RampIsExact(RightGain(gains), RightGain(delta), frames));
#ifdef ZEVORA_AVX512_PATHS
  if (wide && path == MixPath::kAvx512)
    return overwrite ? MixAvx512<Ramp, true>(data, sample.spans, p, step, gains, delta, out, frames)
                     : MixAvx512<Ramp, false>(data, sample.spans, p, step, gains, delta, out, frames);
#endif
#endif
#ifdef ZEVORA_AVX2_PATHS
  if (wide && path >= MixPath::kAvx2)
    return overwrite ? MixAvx2<Ramp, true>(data, sample.spans, p, step, gains, delta, out, frames)
                     : MixAvx2<Ramp, false>(data, sample.spans, p, step, gains, delta, out, frames);
#else
  (void)path;
#endif
  if (overwrite) Silence(out, frames);
  return Ramp ? MixRamp(data, p, step, gains, delta, out, frames) : MixFixed(data, p, step, gains, out, frames);
}

// A forward loop's end: back by the loop's length, and further where the
// step went past more than one loop; the fraction stays.
inline void WrapForward(Voice& v, const Sample& s) {
  const std::int64_t loopEnd = static_cast<std::int64_t>(s.loopStart) + s.loopLength;
  v.positionInt -= static_cast<std::int32_t>(s.loopLength);
  if (v.positionInt >= loopEnd)
    v.positionInt = static_cast<std::int32_t>(s.loopStart + (v.positionInt - s.loopStart) % s.loopLength);
}

// Whether SkipForward can move the voice: forward, in a forward loop or
// towards the end of a sample without a loop, at a step below 256 frames,
// from a position no further than the loop end.
bool SkipsForward(const Voice& v) {
  const Sample* s = v.sample;
  return s != nullptr && v.backward == 0 && v.stepInt < 256 && s->loopKind != 2 &&
         v.positionInt <= static_cast<std::int64_t>(s->loopStart) + s->loopLength;
}

// Moves a voice that SkipsForward on by `frames` frames through the chunks
// RunVoice would cut, without their gains: a chunk up to every loop end
// (then back by the loop's length) or the sample's end (then the voice
// ends). Every loop end costs a few operations here instead of a whole
// chunk, and a run of loop ends that take the same number of frames costs
// one step. Returns the frames it moved the voice on by, always up to the
// end of a chunk, so that RunVoice can go on from there; all of them
// unless a step went past more than one loop.
std::uint32_t SkipForward(Voice& v, std::uint32_t frames) {
  const Sample* s = v.sample;
  const std::int64_t loopEnd = static_cast<std::int64_t>(s->loopStart) + s->loopLength;
  const std::int64_t end = loopEnd * kOne;
  const std::int64_t loop = static_cast<std::int64_t>(s->loopLength) * kOne;
  const auto step = static_cast<std::int64_t>((std::uint64_t{v.stepInt} << 32) | v.stepFrac);
  std::uint32_t cut = (v.stepInt << 24) + (v.stepFrac >> 8);  // the step in units of 2^-24, as FramesToBoundary
  if (cut == 0) cut = 97391;
  std::uint32_t remaining = frames;
  std::uint64_t guess = 0;  // the chunk length of the loop before: mostly the same again
  std::int64_t p = Position(v);
  while (remaining > 0 && (p >> 32) <= loopEnd) {
    const std::int64_t distance = end - p;
    const auto d = static_cast<std::uint64_t>(distance < 0 ? 0 : distance);
    const std::uint64_t q = d >> 8;
    if ((d >> 32) >= 0x1000000 || q > std::uint64_t{remaining} * cut) {
      p = Advance(p, step, remaining);
      remaining = 0;
      break;
    }
    std::uint64_t n = guess;
    if (n == 0 || n * cut < q || (n - 1) * cut >= q) n = (q + cut - 1) / cut;
    guess = n;
    p = Advance(p, step, static_cast<std::uint32_t>(n));
    remaining -= static_cast<std::uint32_t>(n);
    if (s->loopKind != 1) {
      // The end of a sample without a loop: the voice ends.
      v.sample = nullptr;
      v.positionInt = 0;
      v.positionFrac = 0;
      return frames;
    }
    // Back by the loop's length; a step past more than one loop is left to
    // WrapForward.
    p -= loop;
    if ((p >> 32) >= loopEnd) {
      SetPosition(v, p + loop);
      WrapForward(v, *s);
      p = Position(v);
      continue;
    }
    // The loop ends that follow, as above: the position's lowest bit is now
    // the step's, so a chunk of n frames and the way back take the distance
    // to the loop end down by exactly n * (step & ~1) - loop. From one loop
    // end to the next n moves by one at most, which is picked without a
    // branch (its pattern is irregular); the rest goes the way above.
    std::int64_t distanceLeft = end - p;
    const std::int64_t e = step & ~std::int64_t{1};
    while (distanceLeft > 0 && (static_cast<std::uint64_t>(distanceLeft) >> 32) < 0x1000000) {
      const std::uint64_t q = static_cast<std::uint64_t>(distanceLeft) >> 8;
      const std::uint64_t reach = n * cut;
      n = n + static_cast<std::uint64_t>(q > reach) - static_cast<std::uint64_t>(q + cut <= reach);
      if (n * cut < q || (n - 1) * cut >= q) n = (q + cut - 1) / cut;
      if (n > remaining) break;
      remaining -= static_cast<std::uint32_t>(n);
      distanceLeft -= static_cast<std::int64_t>(n) * e - loop;
    }
    guess = n;
    p = end - distanceLeft;
    if ((p >> 32) >= loopEnd) {
      SetPosition(v, p + loop);
      WrapForward(v, *s);
      p = Position(v);
    }
  }
  SetPosition(v, p);
  return frames - remaining;
}

// Moves a voice on as RunVoice would, without mixing, where the gains
// stand (no ramp runs or starts) and SkipForward can take it; returns the
// frames it moved the voice on by (0 where the case does not hold).
std::uint32_t SkipFixedGains(Voice& v, std::uint32_t frames) {
  if (v.rampRemaining != 0 || v.leftVolume != v.currentLeft || v.rightVolume != v.currentRight || !SkipsForward(v))
    return 0;
  // What a chunk sets of the ramp when none starts.
  v.rampLeftTarget = v.leftVolume;
  v.rampRightTarget = v.rightVolume;
  v.rampLeftDelta = 0.0f;
  v.rampRightDelta = 0.0f;
  return SkipForward(v, frames);
}

// Moves a voice in a forward loop on, without mixing, through a gain ramp
// that runs or starts now and ends within `frames`: its chunks are those
// of SkipForward over the ramp's frames (a chunk that would run past the
// ramp's end stops there, and the next one starts from there), and once
// the ramp is over its gains are the targets, however the chunks rounded
// them on the way. Returns the frames it moved the voice on by (0 where the
// case does not hold).
std::uint32_t SkipWholeRamp(Voice& v, std::uint32_t frames) {
  if (!SkipsForward(v) || v.sample->loopKind != 1) return 0;
  const bool runs = v.rampRemaining != 0 && v.leftVolume == v.rampLeftTarget && v.rightVolume == v.rampRightTarget;
  const std::uint32_t ramp = runs ? static_cast<std::uint32_t>(v.rampRemaining) : 128;
  if (ramp > frames || (!runs && v.leftVolume == v.currentLeft && v.rightVolume == v.currentRight)) return 0;
  // From where SkipsForward takes a voice in a forward loop, SkipForward
  // moves it on by every frame asked for.
  SkipForward(v, ramp);
  v.rampLeftTarget = v.leftVolume;
  v.rampRightTarget = v.rightVolume;
  v.rampLeftDelta = 0.0f;
  v.rampRightDelta = 0.0f;
  v.rampRemaining = 0;
  v.currentLeft = v.leftVolume;
  v.currentRight = v.rightVolume;
  return ramp;
}

// Mixes a voice (Mixing) or only moves it on as mixing would: the chunks,
// boundaries and ramps are the same either way, and so is where the voice
// ends up.
template <bool Mixing>
bool RunVoice(Voice& v, float* left, float* right, std::uint32_t frameCount, bool overwrite, MixPath path) {
  if (v.released != 0 && v.rampRemaining == 0 && v.leftVolume == 0 && v.rightVolume == 0 && v.currentLeft == 0 &&
      v.currentRight == 0) {
    // Faded out for good: it would only move on in silence.
    v.sample = nullptr;
    return false;
  }
  std::uint32_t remaining = frameCount;
  Out out{left, right};
  // Overwriting, the frames before `unwritten` are written; once the voice
  // has sounded, the frames it is silent in are written as silence (a voice
  // that never sounds writes nothing).
  std::uint32_t unwritten = 0;
  bool sounded = false;
  const auto silenceUpTo = [&](std::uint32_t to) {
    if (overwrite && to > unwritten) Silence(Out{left, right} + unwritten, to - unwritten);
    unwritten = to;
  };
  const auto finish = [&] {
    if (sounded) silenceUpTo(frameCount);
    return sounded;
  };
  while (remaining > 0) {
    if (!Mixing || (v.leftVolume == 0 && v.rightVolume == 0)) {
      // A voice at gain 0 with no ramp adds exactly nothing (the mix never
      // holds -0.0): mixed, it only moves on as skipping moves it.
      remaining -= SkipFixedGains(v, remaining);
      if (remaining == 0) return finish();
    }
    if (!Mixing) {
      const std::uint32_t ramped = SkipWholeRamp(v, remaining);
      if (ramped != 0) {
        remaining -= ramped;
        continue;
      }
    }
    if (Mixing && v.rampRemaining == 0 && v.leftVolume == v.currentLeft && v.rightVolume == v.currentRight &&
        (v.leftVolume != 0 || v.rightVolume != 0) && SkipsForward(v)) {
      // The usual case while mixing: fixed gains, forward. The steps below,
      // with what does not change from chunk to chunk (gains, step, what
      // step 3 sets) worked out once, and each chunk's length found as
      // SkipForward finds it (mostly the one before, without a division).
      const Sample& fs = *v.sample;
      v.rampLeftTarget = v.leftVolume;
      v.rampRightTarget = v.rightVolume;
      v.rampLeftDelta = 0.0f;
      v.rampRightDelta = 0.0f;
      Gains gains =
          MakeGains(static_cast<float>(v.leftVolume) * kGainScale, static_cast<float>(v.rightVolume) * kGainScale);
      const std::int64_t loopEnd = static_cast<std::int64_t>(fs.loopStart) + fs.loopLength;
      const std::int64_t end = loopEnd * kOne;
      const std::int64_t loop = static_cast<std::int64_t>(fs.loopLength) * kOne;
      const auto step = static_cast<std::int64_t>((std::uint64_t{v.stepInt} << 32) | v.stepFrac);
      std::uint32_t cut = (v.stepInt << 24) + (v.stepFrac >> 8);
      if (cut == 0) cut = 97391;
      std::uint64_t n = 0;
      std::int64_t p = Position(v);
      for (;;) {
        const std::int64_t distance = end - p;
        const auto d = static_cast<std::uint64_t>(distance < 0 ? 0 : distance);
        const std::uint64_t q = d >> 8;
        const bool boundary = (d >> 32) < 0x1000000 && q <= std::uint64_t{remaining} * cut;
        std::uint32_t chunk = remaining;
        if (boundary) {
          if (n == 0 || n * cut < q || (n - 1) * cut >= q) n = (q + cut - 1) / cut;
          chunk = static_cast<std::uint32_t>(n);
        }
        silenceUpTo(frameCount - remaining);
        p = MixChunk<false>(fs, p, step, gains, gains, out, chunk, overwrite, path);
        unwritten = frameCount - remaining + chunk;
        sounded = true;
        out = out + chunk;
        remaining -= chunk;
        if (!boundary) break;
        if (fs.loopKind != 1) {
          v.sample = nullptr;
          v.positionInt = 0;
          v.positionFrac = 0;
          return finish();
        }
        p -= loop;
        if ((p >> 32) >= loopEnd) {
          SetPosition(v, p + loop);
          WrapForward(v, fs);
          p = Position(v);
        }
        if (remaining == 0) break;
      }
      SetPosition(v, p);
      return finish();
    }

    const Sample* s = v.sample;
    if (s == nullptr) return finish();
    const std::int64_t loopEnd = static_cast<std::int64_t>(s->loopStart) + s->loopLength;
    std::int64_t p = Position(v);

    // 1. Distance to the boundary; a chunk cut short by a run or ramp end can
    // stop a hair past it, which counts as reaching it.
    std::int64_t distance;
    if (v.backward == 0) {
      std::int64_t limit = loopEnd;
      if (v.positionInt > loopEnd) limit = s->length;
      distance = limit * kOne - p;
    } else {
      distance = p - static_cast<std::int64_t>(s->loopStart) * kOne;
    }
    if (distance < 0) distance = 0;

    // 2. Chunk length.
    std::uint32_t chunk = remaining;
    bool boundary = false;
    bool limited = false;
    const std::uint64_t n =
        FramesToBoundary(static_cast<std::uint64_t>(distance), v.stepInt, v.stepFrac, remaining, limited);
    if (limited) {
      chunk = static_cast<std::uint32_t>(n);
      boundary = true;
    }
    const std::uint32_t unramped = chunk;

    // 3. Gain ramp: a running ramp carries on while its targets stand;
    // otherwise a new 128-frame ramp starts from the current gains.
    if (!(v.rampRemaining != 0 && v.leftVolume == v.rampLeftTarget && v.rightVolume == v.rampRightTarget)) {
      v.rampLeftTarget = v.leftVolume;
      v.rampRightTarget = v.rightVolume;
      const std::int32_t dl = v.leftVolume - v.currentLeft;
      const std::int32_t dr = v.rightVolume - v.currentRight;
      v.rampLeftDelta = static_cast<float>(dl) * kRampScale;
      v.rampRightDelta = static_cast<float>(dr) * kRampScale;
      v.rampRemaining = (dl != 0 || dr != 0) ? 128 : 0;
    }
    if (v.rampRemaining != 0 && static_cast<std::uint32_t>(v.rampRemaining) < chunk)
      chunk = static_cast<std::uint32_t>(v.rampRemaining);

    // 4-7. Mix the chunk.
    const std::uint64_t stepBits = (std::uint64_t{v.stepInt} << 32) | v.stepFrac;
    const std::int64_t step =
        v.backward ? static_cast<std::int64_t>(0 - stepBits) : static_cast<std::int64_t>(stepBits);
    if (!Mixing && v.rampRemaining == 0) {
      SetPosition(v, Advance(p, step, chunk));
    } else if (v.rampRemaining == 0 && v.leftVolume == 0 && v.rightVolume == 0) {
      // A voice at gain 0 adds exactly nothing (the mix never holds -0.0),
      // so only its position moves.
      SetPosition(v, Advance(p, step, chunk));
    } else if (v.rampRemaining == 0) {
      Gains gains =
          MakeGains(static_cast<float>(v.leftVolume) * kGainScale, static_cast<float>(v.rightVolume) * kGainScale);
      silenceUpTo(frameCount - remaining);
      SetPosition(v, MixChunk<false>(*s, p, step, gains, gains, out, chunk, overwrite, path));
      unwritten = frameCount - remaining + chunk;
      sounded = true;
    } else {
      Gains gains =
          MakeGains(static_cast<float>(v.currentLeft) * kGainScale, static_cast<float>(v.currentRight) * kGainScale);
      const Gains delta = MakeGains(v.rampLeftDelta, v.rampRightDelta);
      if (Mixing) {
        silenceUpTo(frameCount - remaining);
        SetPosition(v, MixChunk<true>(*s, p, step, gains, delta, out, chunk, overwrite, path));
        unwritten = frameCount - remaining + chunk;
        sounded = true;
      } else {
        // The running gains as the plain loop adds them up, frame by frame
        // (the wide loops take a ramp only where that sum is exact, and then
        // end with the same gains); where every sum is exact, that is the
        // start gain plus the chunk's steps at once.
        SetPosition(v, Advance(p, step, chunk));
        if (RampIsExact(LeftGain(gains), LeftGain(delta), chunk) &&
            RampIsExact(RightGain(gains), RightGain(delta), chunk)) {
          const double frames = static_cast<double>(chunk);
          gains = MakeGains(LeftGain(gains) + frames * LeftGain(delta), RightGain(gains) + frames * RightGain(delta));
        } else {
          for (std::uint32_t f = 0; f < chunk; ++f) gains = AddGains(gains, delta);
        }
      }
      // 8. Between chunks a ramp survives only as the rounded gains.
      v.currentLeft = static_cast<std::int32_t>(std::nearbyint(LeftGain(gains) / static_cast<double>(kGainScale)));
      v.currentRight = static_cast<std::int32_t>(std::nearbyint(RightGain(gains) / static_cast<double>(kGainScale)));
      v.rampRemaining -= static_cast<std::int32_t>(chunk);
      if (v.rampRemaining == 0) {
        v.rampLeftDelta = 0.0f;
        v.rampRightDelta = 0.0f;
        v.currentLeft = v.leftVolume;
        v.currentRight = v.rightVolume;
        if (chunk < unramped) {
          if (Mixing) out = out + chunk;
          remaining -= chunk;
          continue;
        }
      }
    }
    if (Mixing) out = out + chunk;
    remaining -= chunk;

    if (!boundary) return finish();

    // 9. The boundary: loop, reflect or end.
    if (s->loopKind == 1) {
      WrapForward(v, *s);
    } else if (s->loopKind == 2) {
      const std::int64_t start = static_cast<std::int64_t>(s->loopStart) * kOne;
      const std::int64_t end = loopEnd * kOne;
      if (v.backward == 0)
        ReflectAtEnd(v, start, end);
      else
        ReflectAtStart(v, start, end);
    } else {
      v.sample = nullptr;
      v.positionInt = 0;
      v.positionFrac = 0;
      return finish();
    }
  }
  return finish();
}

}  // namespace

bool MixVoice(Voice& v, float* left, float* right, std::uint32_t frameCount, bool overwrite, MixPath path) {
  if (path > MachineMixPath()) path = MachineMixPath();
  return RunVoice<true>(v, left, right, frameCount, overwrite, path);
}

void SkipVoice(Voice& v, std::uint32_t frameCount) {
  RunVoice<false>(v, nullptr, nullptr, frameCount, false, MixPath::kPlain);
}

namespace {

// Adds what a voice is about to add to the mix into its channel's own part
// (left + right), from a copy of the voice: the voice itself moves on only
// when it is mixed.
void MixChannelPart(Song& song, const Voice& v, std::uint32_t channel, std::uint32_t frameCount, MixPath path) {
  Voice copy = v;
  float* left = song.channelScratch;
  float* right = song.channelScratch + kBlockFrames;
  if (!RunVoice<true>(copy, left, right, frameCount, true, path)) return;
  float* part = song.channelMix + std::size_t{channel} * kBlockFrames + song.channelMixAt;
  for (std::uint32_t f = 0; f < frameCount; ++f) part[f] += left[f] + right[f];
}

}  // namespace

void MixVoices(Song& song, float* left, float* right, std::uint32_t frameCount, bool overwrite) {
  MixPath path = song.mixPath;
  if (path > MachineMixPath()) path = MachineMixPath();
  for (std::uint32_t i = 0; i < kVoiceCount; ++i) {
    Voice& v = song.voices[i];
    if (v.sample == nullptr) continue;
    if (song.mutedChannels & (1u << (i % kMaxChannels))) {
      RunVoice<false>(v, nullptr, nullptr, frameCount, false, path);
      continue;
    }
    if (song.channelMix != nullptr) MixChannelPart(song, v, i % kMaxChannels, frameCount, path);
    if (RunVoice<true>(v, left, right, frameCount, overwrite, path)) {
      overwrite = false;
    }
  }
  if (overwrite) Silence(Out{left, right}, frameCount);
}

void SkipVoices(Song& song, std::uint32_t frameCount) {
  for (Voice& v : song.voices)
    if (v.sample != nullptr) RunVoice<false>(v, nullptr, nullptr, frameCount, false, MixPath::kPlain);
}
