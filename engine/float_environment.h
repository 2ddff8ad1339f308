// The floating-point settings the engine's arithmetic needs: rounding to
// nearest and no flushing of small floats, whatever the program that calls
// it has set.
#pragma once

#include <cfenv>
#include <cfloat>
#ifdef __SSE2__
#include <xmmintrin.h>
#endif

// Every float and double operation must round to its own type, as SSE2
// and other vector units do: the x87 unit of 32-bit x86 keeps more
// precision in between and gives other samples (the build takes SSE2 there).
static_assert(FLT_EVAL_METHOD == 0, "the engine needs float and double arithmetic without excess precision");

// Sets the engine's settings for the life of the object; the caller's own
// settings come back afterwards. On x86-64 all of the engine's arithmetic
// is SSE, whose one control register is read and set directly: that costs
// a few nanoseconds a call, where saving and setting the whole environment
// (x87 included) cost a few hundred.
#ifdef __SSE2__
class FloatEnvironment {
 public:
  FloatEnvironment() : saved_(_mm_getcsr()) {
    if ((saved_ & ~kFlags) != kDefault) _mm_setcsr(kDefault);
  }
  ~FloatEnvironment() {
    if (_mm_getcsr() != saved_) _mm_setcsr(saved_);
  }
  FloatEnvironment(const FloatEnvironment&) = delete;
  FloatEnvironment& operator=(const FloatEnvironment&) = delete;

 private:
  static constexpr unsigned kDefault = 0x1F80;  // every exception masked, to nearest, no flushing
  static constexpr unsigned kFlags = 0x3F;      // the exception flags, which the engine may raise
  unsigned saved_;
};
#else
class FloatEnvironment {
 public:
  FloatEnvironment() {
    std::fegetenv(&saved_);
    std::fesetenv(FE_DFL_ENV);
  }
  ~FloatEnvironment() { std::fesetenv(&saved_); }
  FloatEnvironment(const FloatEnvironment&) = delete;
  FloatEnvironment& operator=(const FloatEnvironment&) = delete;

 private:
  std::fenv_t saved_;
};
#endif
