#include "common/MemoryRegistry.h"

namespace nv {

// Away from Windows the program sees an empty registry of a 32-bit process
// on 64-bit Windows, which tests fill or replace.
template <> RegistryApi& detail::DefaultApi<RegistryApi>() {
    static MemoryRegistry api;
    return api;
}

} // namespace nv
