#include "common/MemoryFileSystemW.h"

namespace nv {

// Away from Windows the installer's files live on an in-memory disk.
template <> FileApiW& detail::DefaultApi<FileApiW>() {
    static MemoryFileSystemW api;
    return api;
}

} // namespace nv
