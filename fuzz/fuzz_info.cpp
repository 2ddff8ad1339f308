// Fuzz target: any bytes through the loader and zevora-cli info's JSON
// writer.
#include <cstdlib>

#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "sources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (OpenAndLoadModule(data, size, kSourceMemory)) {
    const std::string json = ModuleJson();
    if (json.empty() || json.front() != '{' || json.back() != '}') std::abort();
  }
  FreeModule();
  return 0;
}
