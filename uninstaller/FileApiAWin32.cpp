#include "uninstaller/FileApiA.h"

#include <cstring>

namespace nv {

namespace {

void CopyFindData(const WIN32_FIND_DATAA& from, FindDataA* to) {
    to->dwFileAttributes = from.dwFileAttributes;
    to->cFileName.assign(from.cFileName, strnlen(from.cFileName, sizeof from.cFileName));
}

class Win32FileApiA final : public FileApiA {
  public:
    HANDLE FindFirstFileA(const char* pattern, FindDataA* data) override {
        WIN32_FIND_DATAA found{};
        HANDLE h = ::FindFirstFileA(pattern, &found);
        if (h != INVALID_HANDLE_VALUE)
            CopyFindData(found, data);
        return h;
    }
    BOOL FindNextFileA(HANDLE search, FindDataA* data) override {
        WIN32_FIND_DATAA found{};
        BOOL ok = ::FindNextFileA(search, &found);
        if (ok)
            CopyFindData(found, data);
        return ok;
    }
    BOOL FindClose(HANDLE search) override { return ::FindClose(search); }
    BOOL DeleteFileA(const char* path) override { return ::DeleteFileA(path); }
    BOOL RemoveDirectoryA(const char* path) override { return ::RemoveDirectoryA(path); }
    BOOL MoveFileA(const char* from, const char* to) override { return ::MoveFileA(from, to); }
    BOOL MoveFileExA(const char* from, const char* to, DWORD flags) override {
        return ::MoveFileExA(from, to, flags);
    }
    DWORD GetLastError() override { return ::GetLastError(); }
};

// Constant-initialised at namespace scope: no guard, no thread library.
Win32FileApiA g_win32Files;

} // namespace

template <> FileApiA& detail::DefaultApi<FileApiA>() {
    return g_win32Files;
}

} // namespace nv
