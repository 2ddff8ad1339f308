#include "simd.h"

#ifdef ZEVORA_AVX2_PATHS
namespace {
bool DetectAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
bool DetectAvx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl");
}
}  // namespace

bool cpuHasAvx2 = DetectAvx2();
bool cpuHasAvx512 = DetectAvx512();
#endif
