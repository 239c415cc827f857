#include "common/RegistryApi.h"

namespace nv {

namespace {
RegistryApi* g_override = nullptr;
}

RegistryApi& CurrentRegistryApi() {
    return g_override ? *g_override : detail::DefaultRegistryApi();
}

ScopedRegistryApi::ScopedRegistryApi(RegistryApi& api) : previous_(g_override) {
    g_override = &api;
}

ScopedRegistryApi::~ScopedRegistryApi() {
    g_override = previous_;
}

} // namespace nv
