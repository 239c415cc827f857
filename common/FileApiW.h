// The installer's wide file calls, behind an interface so that the file
// routines and the install sequence run against an in-memory disk in tests.
// Paths are UTF-16 (char16_t); they become wchar_t only in the Win32 layer.
#pragma once

#include "common/ApiSlot.h"
#include "common/WinTypes.h"

#include <string>

namespace nv {

// WIN32_FIND_DATAW with the fields that callers read.
struct FindDataW {
    DWORD dwFileAttributes = 0;
    FILETIME ftCreationTime{};
    FILETIME ftLastAccessTime{};
    FILETIME ftLastWriteTime{};
    DWORD nFileSizeHigh = 0;
    DWORD nFileSizeLow = 0;
    std::u16string cFileName;
};

class FileApiW {
  public:
    virtual ~FileApiW() = default;
    virtual DWORD GetFileAttributesW(const char16_t* fileName) = 0;
    virtual BOOL CreateDirectoryW(const char16_t* pathName, void* securityAttributes) = 0;
    // INVALID_HANDLE_VALUE on failure, like the real call.
    virtual HANDLE CreateFileW(const char16_t* fileName, DWORD desiredAccess, DWORD shareMode,
                               void* securityAttributes, DWORD creationDisposition,
                               DWORD flagsAndAttributes, HANDLE templateFile) = 0;
    virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                           void* overlapped) = 0;
    // A null time leaves that time as it is.
    virtual BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* lastAccess,
                             const FILETIME* lastWrite) = 0;
    virtual BOOL CloseHandle(HANDLE object) = 0;
    virtual HANDLE FindFirstFileW(const char16_t* fileName, FindDataW* findData) = 0;
    virtual BOOL FindClose(HANDLE findFile) = 0;
    virtual BOOL SetFileAttributesW(const char16_t* fileName, DWORD fileAttributes) = 0;
    virtual BOOL DeleteFileW(const char16_t* fileName) = 0;
    virtual BOOL MoveFileW(const char16_t* existingFileName, const char16_t* newFileName) = 0;
    virtual DWORD GetLastError() = 0;
    virtual void SetLastError(DWORD code) = 0;
};

namespace detail {
template <> FileApiW& DefaultApi<FileApiW>(); // per platform
}

// Win32 on Windows; on Linux a process-wide in-memory disk.
inline FileApiW& CurrentFileApiW() { return CurrentApi<FileApiW>(); }

using ScopedFileApiW = ScopedApi<FileApiW>;

// Owns a file or search handle of one FileApiW; the last error survives the close.
class ApiHandleW {
  public:
    enum class Kind { File, Find };
    ApiHandleW(FileApiW& api, Kind kind, HANDLE handle) : api_(api), kind_(kind), handle_(handle) {}
    ~ApiHandleW() { Close(); }
    ApiHandleW(const ApiHandleW&) = delete;
    ApiHandleW& operator=(const ApiHandleW&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    void Close();

  private:
    FileApiW& api_;
    Kind kind_;
    HANDLE handle_;
};

} // namespace nv
