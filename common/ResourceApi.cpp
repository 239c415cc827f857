#include "common/ResourceApi.h"

namespace nv {

namespace {
ResourceApi* g_override = nullptr;
}

ResourceApi& CurrentResourceApi() {
    return g_override ? *g_override : detail::DefaultResourceApi();
}

ScopedResourceApi::ScopedResourceApi(ResourceApi& api) : previous_(g_override) {
    g_override = &api;
}

ScopedResourceApi::~ScopedResourceApi() {
    g_override = previous_;
}

} // namespace nv
