// The uninstaller's 8-bit file calls, behind an interface so that the
// uninstall can run against an in-memory disk in tests.
#pragma once

#include "common/Handles.h"
#include "common/ApiSlot.h"
#include "common/WinTypes.h"

#include <string>

namespace nv {

// The part of WIN32_FIND_DATAA that the uninstaller reads.
struct FindDataA {
    DWORD dwFileAttributes = 0;
    std::string cFileName;
};

class FileApiA {
  public:
    virtual ~FileApiA() = default;
    // INVALID_HANDLE_VALUE on failure, like the real call.
    virtual HANDLE FindFirstFileA(const char* pattern, FindDataA* data) = 0;
    virtual BOOL FindNextFileA(HANDLE search, FindDataA* data) = 0;
    virtual BOOL FindClose(HANDLE search) = 0;
    virtual BOOL DeleteFileA(const char* path) = 0;
    virtual BOOL RemoveDirectoryA(const char* path) = 0;
    virtual BOOL MoveFileA(const char* from, const char* to) = 0;
    // `to` may be null: with MOVEFILE_DELAY_UNTIL_REBOOT, delete at restart.
    virtual BOOL MoveFileExA(const char* from, const char* to, DWORD flags) = 0;
    virtual DWORD GetLastError() = 0;
};

namespace detail {
template <> FileApiA& DefaultApi<FileApiA>(); // per platform
}

// Win32 on Windows; on Linux a process-wide in-memory disk.
inline FileApiA& CurrentFileApiA() { return CurrentApi<FileApiA>(); }

using ScopedFileApiA = ScopedApi<FileApiA>;

// Closes a search through whichever interface is current.
struct FindCloseApiOp {
    static void close(HANDLE h) { CurrentFileApiA().FindClose(h); }
    static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
};
using UniqueSearchA = Unique<HANDLE, FindCloseApiOp>;

} // namespace nv
