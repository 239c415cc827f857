#include "common/UBaoFichiersW.h"

#include "common/FileApiW.h"

#include <vector>

namespace nv {

namespace {
constexpr DWORD kErrorInvalidParameter = 87;
}

DWORD GetFileAttributesLong(const std::u16string& path) {
    std::u16string name = path;
    if ((name.size() == 6 || name.size() == 7) && name.compare(0, 4, u"\\\\?\\") == 0 &&
        name[5] == u':')
        name.erase(0, 4);
    return CurrentFileApiW().GetFileAttributesW(name.c_str());
}

bool DirectoryExistsW(const std::u16string& path) {
    const DWORD attributes = GetFileAttributesLong(path);
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               FILE_ATTRIBUTE_DIRECTORY;
}

DWORD CreateFolderPath(const std::u16string& path) {
    if (path.empty())
        return ERROR_PATH_NOT_FOUND;
    // Climb to the first existing ancestor, noting each missing level by its
    // length (every level is a prefix of the path), then create downwards.
    // A loop, not recursion: a long "\\?\" path can have thousands of levels.
    std::u16string::size_type length = path.size();
    std::vector<std::u16string::size_type> missing;
    for (;;) {
        while (length > 0 && path[length - 1] == u'\\')
            --length;
        if (length <= 2)
            break; // a bare drive, or nothing left
        const std::u16string level = path.substr(0, length);
        if (DirectoryExistsW(level))
            break;
        const auto slash = level.rfind(u'\\');
        if (slash == std::u16string::npos)
            break; // a bare name: nothing above it to create
        missing.push_back(length);
        length = slash + 1;
    }
    FileApiW& api = CurrentFileApiW();
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const std::u16string level = path.substr(0, *it);
        if (!api.CreateDirectoryW(level.c_str(), nullptr))
            return api.GetLastError();
    }
    return 0;
}

DWORD WriteWholeFile(const std::u16string& path, const void* data, bool renameAside,
                     std::int64_t size, DWORD flagsAndAttributes, const FILETIME* lastWrite,
                     const FILETIME* creation, const FILETIME* lastAccess) {
    if (size > kMaxWholeFileSize)
        return ERROR_BAD_LENGTH;
    if (size > 0 && data == nullptr)
        return kErrorInvalidParameter;

    FileApiW& api = CurrentFileApiW();
    bool lookedUp = false;
    bool movedAside = false;
    HANDLE handle;
    // At most three opens: the first, one after clearing read-only, one after
    // moving the old file aside.
    for (;;) {
        handle = api.CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 flagsAndAttributes, nullptr);
        if (handle != INVALID_HANDLE_VALUE)
            break;
        const DWORD code = api.GetLastError();
        if (!lookedUp) {
            lookedUp = true;
            FindDataW found;
            ApiHandleW search(api, ApiHandleW::Kind::Find,
                              api.FindFirstFileW(path.c_str(), &found));
            if (!search.valid())
                return code;
            search.Close();
            if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
                if (!api.SetFileAttributesW(path.c_str(),
                                            found.dwFileAttributes - FILE_ATTRIBUTE_READONLY))
                    return code;
                continue;
            }
        }
        if ((code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED) && renameAside &&
            !movedAside) {
            movedAside = true;
            // A running program's file can be renamed but not deleted: it
            // stays behind under the aside name.
            std::u16string aside = path;
            aside += RenameAsideSuffix;
            api.DeleteFileW(aside.c_str());
            api.MoveFileW(path.c_str(), aside.c_str());
            api.DeleteFileW(aside.c_str());
            continue;
        }
        return code;
    }

    ApiHandleW file(api, ApiHandleW::Kind::File, handle);
    DWORD result = 0;
    if (size > 0) {
        // Cleared first so that a short write Windows gives no code for is
        // told from one it does (CreateFileW leaves 183 after replacing).
        api.SetLastError(0);
        DWORD written = 0;
        const BOOL ok = api.WriteFile(handle, data, static_cast<DWORD>(size), &written, nullptr);
        if (!ok || written < static_cast<DWORD>(size)) {
            result = api.GetLastError();
            if (result == 0)
                result = ERROR_WRITE_FAULT;
        }
    }
    if (result == 0 && lastWrite)
        api.SetFileTime(handle, creation, lastAccess, lastWrite);
    file.Close();
    if (result != 0)
        api.DeleteFileW(path.c_str());
    return result;
}

} // namespace nv
