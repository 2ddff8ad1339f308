// Wider vector paths for x86-64: compiled with GCC or Clang for AVX2 and
// AVX-512 (F, DQ, BW, VL) and taken only when the processor has them. Every
// path gives the same bits as the plain one.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define ZEVORA_AVX2_PATHS 1
#define ZEVORA_TARGET_AVX2 __attribute__((target("avx2")))
#define ZEVORA_AVX512_PATHS 1
#define ZEVORA_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512dq,avx512bw,avx512vl")))

// GCC 12 takes the intrinsics' deliberately undefined start values for
// uninitialised variables once they are inlined deep enough.
#pragma GCC diagnostic push
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

// Set once at start-up; tests and benchmarks clear them to compare the
// paths (AVX-512 is taken before AVX2).
extern bool cpuHasAvx2;
extern bool cpuHasAvx512;
#endif
