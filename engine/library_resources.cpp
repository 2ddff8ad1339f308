// The library as others link it has no data blocks of its own: a resource
// source finds nothing unless a table is given.
#include "sources.h"

namespace zevora {
const ResourceTable programResources = {nullptr, 0};
}
