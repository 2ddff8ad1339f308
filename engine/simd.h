// Wider vector paths for x86-64: compiled with GCC or Clang for AVX2 and
// taken only when the processor has it. Every path gives the same bits as
// the plain one.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#define ZEVORA_AVX2_PATHS 1
#define ZEVORA_TARGET_AVX2 __attribute__((target("avx2")))

// Set once at start-up; tests clear it to compare with the plain paths.
extern bool cpuHasAvx2;
#endif
