#include "uninstaller/FileApiA.h"
#include "uninstaller/MemoryFilesA.h"

namespace nv {

// Away from Windows the uninstaller works on an empty in-memory disk.
template <> FileApiA& detail::DefaultApi<FileApiA>() {
    static MemoryFilesA disk;
    return disk;
}

} // namespace nv
