#include "common/FileApiW.h"

namespace nv {

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
