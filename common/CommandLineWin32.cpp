#include "common/CommandLine.h"

#include <windows.h>

namespace nv {

bool AppendLog(const std::string& path, const std::string& lines) {
    const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == lines.size();
}

} // namespace nv
