#include "simd.h"

#include <cstdlib>
#include <cstring>

namespace {

MixPath DetectMachinePath() {
#ifdef ZEVORA_AVX2_PATHS
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) return MixPath::kPlain;
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl"))
    return MixPath::kAvx512;
  return MixPath::kAvx2;
#else
  return MixPath::kPlain;
#endif
}

MixPath DetectDefaultPath() {
  const MixPath machine = DetectMachinePath();
  MixPath wanted = machine;
  const char* name = std::getenv("ZEVORA_MIX_PATH");
  if (name != nullptr && *name != '\0' && MixPathForName(name, wanted) && wanted < machine) return wanted;
  return machine;
}

}  // namespace

// Both are worked out at their first use and never change afterwards.
MixPath MachineMixPath() {
  static const MixPath path = DetectMachinePath();
  return path;
}

MixPath DefaultMixPath() {
  static const MixPath path = DetectDefaultPath();
  return path;
}

bool MixPathForName(const char* name, MixPath& path) {
  if (std::strcmp(name, "plain") == 0)
    path = MixPath::kPlain;
  else if (std::strcmp(name, "avx2") == 0)
    path = MixPath::kAvx2;
  else if (std::strcmp(name, "avx512") == 0)
    path = MixPath::kAvx512;
  else
    return false;
  return true;
}
