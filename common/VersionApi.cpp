#include "common/VersionApi.h"

namespace nv {

namespace {
VersionApi* g_override = nullptr;
}

VersionApi& CurrentVersionApi() {
    return g_override ? *g_override : detail::DefaultVersionApi();
}

ScopedVersionApi::ScopedVersionApi(VersionApi& api) : previous_(g_override) {
    g_override = &api;
}

ScopedVersionApi::~ScopedVersionApi() {
    g_override = previous_;
}

} // namespace nv
