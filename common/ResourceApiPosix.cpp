#include "common/MemoryResources.h"

namespace nv {

// Away from Windows the program has no image resources: an empty set that
// tests fill or replace.
template <> ResourceApi& detail::DefaultApi<ResourceApi>() {
    static MemoryResources api;
    return api;
}

} // namespace nv
