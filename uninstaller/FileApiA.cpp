#include "uninstaller/FileApiA.h"

namespace nv {

namespace {
FileApiA* g_override = nullptr;
}

FileApiA& CurrentFileApiA() {
    return g_override ? *g_override : detail::DefaultFileApiA();
}

ScopedFileApiA::ScopedFileApiA(FileApiA& api) : previous_(g_override) {
    g_override = &api;
}

ScopedFileApiA::~ScopedFileApiA() {
    g_override = previous_;
}

} // namespace nv
