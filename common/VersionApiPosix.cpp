#include "common/FakeVersionApi.h"

namespace nv {

// Away from Windows the programs see a 64-bit Windows 10 workstation with a
// 32-bit process on it; tests replace it.
template <> VersionApi& detail::DefaultApi<VersionApi>() {
    static FakeVersionApi api;
    return api;
}

} // namespace nv
