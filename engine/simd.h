// Wider vector paths for x86-64: compiled with GCC or Clang for AVX2 and
// AVX-512 (F, DQ, BW, VL) and taken only when the processor has them. Every
// path gives the same bits as the plain one.
#pragma once

// The loops a song mixes and converts with: the plain (SSE2) ones, or the
// AVX2 or AVX-512 ones where the processor has them.
enum class MixPath { kPlain = 0, kAvx2 = 1, kAvx512 = 2 };

// The widest path this processor has, lowered by the environment variable
// ZEVORA_MIX_PATH ("plain", "avx2" or "avx512"; a wider one than the
// processor has is not taken), so that every path can be measured and tested
// on one machine. Worked out once; a song starts with it.
MixPath DefaultMixPath();
// The widest path this processor has.
MixPath MachineMixPath();
// The path for a name as ZEVORA_MIX_PATH takes it; false for an unknown one.
bool MixPathForName(const char* name, MixPath& path);

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
#endif
