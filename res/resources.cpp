#include "resources.h"

#include "sources.h"

extern const std::uint8_t demoModule[];
extern const std::uint32_t demoModuleSize;

namespace {
const ResourceEntry entries[] = {
    {RT_RCDATA, kDemoModuleName, 0, demoModule, demoModuleSize},
};
}  // namespace

namespace zevora {
const ResourceTable programResources = {entries, sizeof entries / sizeof entries[0]};
}
