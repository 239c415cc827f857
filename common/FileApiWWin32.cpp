#include "common/FileApiW.h"

namespace nv {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 paths pass to the W calls as they are");

const wchar_t* W(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}

class Win32FilesW final : public FileApiW {
  public:
    DWORD GetFileAttributesW(const char16_t* fileName) override {
        return ::GetFileAttributesW(W(fileName));
    }
    BOOL CreateDirectoryW(const char16_t* pathName, void* security) override {
        return ::CreateDirectoryW(W(pathName), static_cast<LPSECURITY_ATTRIBUTES>(security));
    }
    HANDLE CreateFileW(const char16_t* fileName, DWORD access, DWORD share, void* security,
                       DWORD disposition, DWORD flags, HANDLE templateFile) override {
        return ::CreateFileW(W(fileName), access, share,
                             static_cast<LPSECURITY_ATTRIBUTES>(security), disposition, flags,
                             templateFile);
    }
    BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                   void* overlapped) override {
        return ::WriteFile(file, buffer, toWrite, written, static_cast<LPOVERLAPPED>(overlapped));
    }
    BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                     const FILETIME* lastWrite) override {
        return ::SetFileTime(file, creation, lastAccess, lastWrite);
    }
    BOOL CloseHandle(HANDLE object) override { return ::CloseHandle(object); }
    HANDLE FindFirstFileW(const char16_t* fileName, FindDataW* findData) override {
        WIN32_FIND_DATAW found;
        HANDLE h = ::FindFirstFileW(W(fileName), &found);
        if (h != INVALID_HANDLE_VALUE && findData) {
            findData->dwFileAttributes = found.dwFileAttributes;
            findData->ftCreationTime = found.ftCreationTime;
            findData->ftLastAccessTime = found.ftLastAccessTime;
            findData->ftLastWriteTime = found.ftLastWriteTime;
            findData->nFileSizeHigh = found.nFileSizeHigh;
            findData->nFileSizeLow = found.nFileSizeLow;
            findData->cFileName.assign(reinterpret_cast<const char16_t*>(found.cFileName));
        }
        return h;
    }
    BOOL FindClose(HANDLE findFile) override { return ::FindClose(findFile); }
    BOOL SetFileAttributesW(const char16_t* fileName, DWORD attributes) override {
        return ::SetFileAttributesW(W(fileName), attributes);
    }
    BOOL DeleteFileW(const char16_t* fileName) override { return ::DeleteFileW(W(fileName)); }
    BOOL MoveFileW(const char16_t* from, const char16_t* to) override {
        return ::MoveFileW(W(from), W(to));
    }
    DWORD GetLastError() override { return ::GetLastError(); }
    void SetLastError(DWORD code) override { ::SetLastError(code); }
};

} // namespace

template <> FileApiW& detail::DefaultApi<FileApiW>() {
    static Win32FilesW api;
    return api;
}

} // namespace nv
