#include "simd.h"

#ifdef ZEVORA_AVX2_PATHS
namespace {
bool DetectAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
}  // namespace

bool cpuHasAvx2 = DetectAvx2();
#endif
