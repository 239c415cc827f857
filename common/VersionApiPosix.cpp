#include "common/FakeVersionApi.h"

namespace nv {

// Away from Windows the programs see a 64-bit Windows 10 workstation with a
// 32-bit process on it; tests replace it.
VersionApi& detail::DefaultVersionApi() {
    static FakeVersionApi api;
    return api;
}

} // namespace nv
