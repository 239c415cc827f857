#include "common/FileApiW.h"

namespace nv {

namespace {
FileApiW* g_override = nullptr;
}

FileApiW& CurrentFileApiW() {
    return g_override ? *g_override : detail::DefaultFileApiW();
}

ScopedFileApiW::ScopedFileApiW(FileApiW& api) : previous_(g_override) {
    g_override = &api;
}

ScopedFileApiW::~ScopedFileApiW() {
    g_override = previous_;
}

void ApiHandleW::Close() {
    if (!valid())
        return;
    const DWORD keep = api_.GetLastError();
    if (kind_ == Kind::File)
        api_.CloseHandle(handle_);
    else
        api_.FindClose(handle_);
    api_.SetLastError(keep);
    handle_ = INVALID_HANDLE_VALUE;
}

} // namespace nv
